# Shared part of the two mingw-w64 toolchains: the -posix thread model compilers (std::thread,
# std::mutex), and Wine as the emulator that CTest runs the cross-built tests with: its 64-bit
# loader for x86_64 programs, the 32-bit loader of Debian's wine32:i386 for i686 ones, both in one
# prefix. Never the plain `wine` script: with wine32 installed it picks the 32-bit loader for every
# program, which fails for 64-bit ones too where the kernel runs no 32-bit programs.
set(CMAKE_C_COMPILER ${EFI_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${EFI_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${EFI_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${EFI_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(EFI_MINGW_TRIPLE MATCHES "^x86_64")
  find_program(EFI_WINE NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
else()
  find_program(EFI_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
endif()
if(EFI_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${EFI_WINE})
endif()
