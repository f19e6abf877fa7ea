# The names a shared library's dynamic symbol table defines, sorted: what a
# host can link against. For the export checks run with cmake -P.
function(qor_exported_names library out)
  execute_process(COMMAND nm -D --defined-only ${library}
    OUTPUT_VARIABLE defined RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${library}")
  endif()
  string(REGEX MATCHALL "[0-9a-f]+ [A-Za-z] [^\n]+" lines "${defined}")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[0-9a-f]+ [A-Za-z] " "" name "${line}")
    list(APPEND names ${name})
  endforeach()
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
