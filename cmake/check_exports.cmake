# Checks that a shared library exports exactly the functions that its header declares
# CHUNKSIEVE_API, one per line starting with it:
#   cmake -DNM=nm -DLIBRARY=libchunksieve.so -DHEADER=chunksieve.h -P check_exports.cmake
foreach(var NM LIBRARY HEADER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "usage: cmake -DNM=nm -DLIBRARY=LIB -DHEADER=H -P check_exports.cmake")
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/api_names.cmake)
chunksieve_api_names(${HEADER} declared)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} -D --defined-only ${LIBRARY} failed: ${status}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(exported)
foreach(line IN LISTS lines)
  # "ADDRESS TYPE NAME", NAME perhaps with its version after '@'
  if(line MATCHES "^[0-9a-fA-F]* +[A-Za-z] ([^@ ]+)")
    list(APPEND exported ${CMAKE_MATCH_1})
  endif()
endforeach()

set(missing ${declared})
list(REMOVE_ITEM missing ${exported})
set(extra ${exported})
list(REMOVE_ITEM extra ${declared})
if(missing OR extra OR NOT declared)
  message(FATAL_ERROR "${LIBRARY}:\n  declared, not exported: ${missing}\n"
                      "  exported, not declared: ${extra}")
endif()
list(LENGTH exported count)
message(STATUS "${LIBRARY} exports the header's ${count} functions and nothing else")
