# Checks of the shipped library's symbol table (nm -C), either or both of:
#   SYMBOLS: the testing core's hooks, which the testing library built the same way must carry (so
#            an empty symbol table cannot pass the check) and the shipped one must not;
#   ABSENT:  names that have no place in the shipped library at all.
# Run as: cmake -DPRODUCT=... [-DTESTING=... -DSYMBOLS=a;b] [-DABSENT=c;d] -DNM=... -P product_library.cmake
function(symbols_of library out)
  execute_process(COMMAND ${NM} -C ${library} OUTPUT_VARIABLE dump RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${library}")
  endif()
  set(${out} "${dump}" PARENT_SCOPE)
endfunction()

symbols_of(${PRODUCT} product)
string(FIND "${product}" "EfiSendCommand" has_exports)
if(has_exports EQUAL -1)
  message(FATAL_ERROR "no EfiSendCommand among the symbols of ${PRODUCT}: the check would prove nothing")
endif()

if(SYMBOLS)
  symbols_of(${TESTING} testing)
endif()
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

set(found "")
foreach(name IN LISTS ABSENT)
  string(FIND "${product}" "${name}" in_product)
  if(NOT in_product EQUAL -1)
    list(APPEND found ${name})
  endif()
endforeach()
if(found)
  message(FATAL_ERROR "the shipped library contains ${found}")
endif()
message(STATUS "nothing for tests only in ${PRODUCT}")
