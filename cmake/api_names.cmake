# chunksieve_api_names(HEADER OUT): the names of the functions HEADER declares CHUNKSIEVE_API,
# one declaration a line starting with it, into the list OUT. A declaration line without a
# function name is an error: the export checks would miss it.
function(chunksieve_api_names header out)
  file(STRINGS ${header} declarations REGEX "^CHUNKSIEVE_API ")
  set(names)
  foreach(line IN LISTS declarations)
    if(NOT line MATCHES "[ *](chunksieve_[a-z0-9_]+)\\(")
      message(FATAL_ERROR "no function name on the line of a declaration: ${line}")
    endif()
    list(APPEND names ${CMAKE_MATCH_1})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()
