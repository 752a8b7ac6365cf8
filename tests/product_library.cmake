# Checks that the shipped library carries none of the testing core's hooks, while the testing
# library built the same way does (so an empty symbol table cannot pass the check).
# Run as: cmake -DPRODUCT=... -DTESTING=... -DNM=... -DSYMBOLS=a;b -P product_library.cmake
function(symbols_of library out)
  execute_process(COMMAND ${NM} -C ${library} OUTPUT_VARIABLE dump RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${library}")
  endif()
  set(${out} "${dump}" PARENT_SCOPE)
endfunction()

symbols_of(${PRODUCT} product)
symbols_of(${TESTING} testing)
foreach(symbol IN LISTS SYMBOLS)
  string(FIND "${testing}" "${symbol}" in_testing)
  if(in_testing EQUAL -1)
    message(FATAL_ERROR "the testing library lacks ${symbol}: the check would prove nothing")
  endif()
  string(FIND "${product}" "${symbol}" in_product)
  if(NOT in_product EQUAL -1)
    message(FATAL_ERROR "the shipped library contains the test hook ${symbol}")
  endif()
endforeach()
message(STATUS "no test hooks in ${PRODUCT}")
