# What `cmake --install` and cpack ship: the header, the shared library, the efilink program and
# the README, with a CMake package (efilink::efilink) and efilink.pc for hosts' builds. On
# Windows also both import libraries, the .def and a version resource in the DLL.
#
# The static core is not installed: a host talks to the library only through the C exports, and
# the core without the export shims has no load and unload of its own and no stable interface.
include(CMakePackageConfigHelpers)

set(EFI_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/efilink)
if(WIN32)
  set(EFI_DOC_INSTALL_DIR .)
else()
  set(EFI_DOC_INSTALL_DIR ${CMAKE_INSTALL_DOCDIR})
  # The loader records libefilink.so.0; libefilink.so stays in the package as well, since hosts
  # load the library by that name.
  set_target_properties(efilink PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

install(TARGETS efilink EXPORT efilinkTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/efilink/efilink.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/efilink)
install(TARGETS efilink_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${EFI_DOC_INSTALL_DIR})

# Development parts, only on request (`--component softunit`): the simulator library, and the
# adapter stand-ins when there are any. Never part of a package.
install(TARGETS efilink_sim LIBRARY DESTINATION ${EFI_SOFTUNIT_INSTALL_DIR} COMPONENT softunit EXCLUDE_FROM_ALL)

install(EXPORT efilinkTargets NAMESPACE efilink:: DESTINATION ${EFI_CMAKE_INSTALL_DIR})
configure_package_config_file(cmake/efilinkConfig.cmake.in ${CMAKE_BINARY_DIR}/efilinkConfig.cmake
                              INSTALL_DESTINATION ${EFI_CMAKE_INSTALL_DIR})
# Also refuses a package of the other width (32-bit host, 64-bit library).
write_basic_package_version_file(${CMAKE_BINARY_DIR}/efilinkConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/efilinkConfig.cmake ${CMAKE_BINARY_DIR}/efilinkConfigVersion.cmake
        DESTINATION ${EFI_CMAKE_INSTALL_DIR})

# The .pc finds the prefix from its own place, so an unpacked zip or a staged tree works as is.
file(RELATIVE_PATH EFI_PC_PREFIX_FROM_DIR /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(cmake/efilink.pc.in ${CMAKE_BINARY_DIR}/efilink.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/efilink.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(WIN32)
  math(EXPR EFI_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
  configure_file(cmake/efilink.rc.in ${CMAKE_BINARY_DIR}/efilink.rc @ONLY)
  target_sources(efilink PRIVATE ${CMAKE_BINARY_DIR}/efilink.rc)

  # mingw links with libefilink.dll.a, which its linker writes; Microsoft's linker gets efilink.lib,
  # made from the .def in the short import format that Microsoft's own tools write: the mingw
  # dlltool's long format carries code objects that an i686 link with /SAFESEH refuses.
  find_program(EFI_IMPORT_LIBRARY_TOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14 REQUIRED)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(machine i386)
  else()
    set(machine i386:x86-64)
  endif()
  set(msvc_import_library ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/efilink.lib)
  add_custom_command(OUTPUT ${msvc_import_library}
                     COMMAND ${EFI_IMPORT_LIBRARY_TOOL} -m ${machine} -d ${PROJECT_SOURCE_DIR}/src/efilink.def
                             -D efilink.dll -l ${msvc_import_library}
                     DEPENDS ${PROJECT_SOURCE_DIR}/src/efilink.def VERBATIM)
  add_custom_target(efilink_msvc_import_library ALL DEPENDS ${msvc_import_library})
  install(FILES ${msvc_import_library} src/efilink.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

set(CPACK_PACKAGE_NAME efilink)
set(CPACK_PACKAGE_VENDOR efilink)
set(CPACK_PACKAGE_CONTACT "efilink developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host library for talking to an engine-control unit")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win${EFI_BITS})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  if(EFI_BUILD_PYTHON)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/python/prerm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  endif()
endif()
include(CPack)
