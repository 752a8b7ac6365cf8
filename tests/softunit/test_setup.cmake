# What the software unit and command-line host tests need beyond their test areas: the
# simulator library and the efilink program built first, their file names, and the check that
# the simulator library exports only its three functions.
add_dependencies(efi_test_modules efilink_sim efilink_cli)
foreach(target efilink_softunit_tests efilink_tools_tests)
  if(TARGET ${target})
    target_compile_definitions(${target} PRIVATE EFI_SIMULATOR_FILE="$<TARGET_FILE_NAME:efilink_sim>"
                                                 EFI_CLI_FILE="$<TARGET_FILE_NAME:efilink_cli>")
  endif()
endforeach()
if(TARGET efilink_tools_tests)
  target_link_libraries(efilink_tools_tests PRIVATE softunit_core)
  add_dependencies(efi_test_modules efi_adapter_standins)
  target_compile_definitions(efilink_tools_tests PRIVATE EFI_PCAN_STANDIN="$<TARGET_FILE_NAME:standin_pcan>")
  # Under wine the tests start efilink.exe by its bare name, found in the current directory.
  set_tests_properties(tools PROPERTIES WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()
add_test(NAME simulator_exported_names COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:efilink_sim>
         -DDEF=${PROJECT_SOURCE_DIR}/softunit/sim/efilink_sim.def -DTOOL=${EFI_EXPORT_TOOL} -DKIND=${EFI_EXPORT_KIND}
         -P ${CMAKE_CURRENT_SOURCE_DIR}/exported_names.cmake)
set_tests_properties(simulator_exported_names PROPERTIES LABELS anywhere)
