# Shared part of the two mingw-w64 toolchains: the -posix thread model compilers (std::thread,
# std::mutex), and wine as the emulator that CTest runs the cross-built tests with. wine64 starts
# i686 programs in the 32-bit loader of Debian's wine32:i386, in the same prefix as x86_64 ones.
set(CMAKE_C_COMPILER ${EFI_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${EFI_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${EFI_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${EFI_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(EFI_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(EFI_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${EFI_WINE})
endif()
