# Run as a test (cmake -P): a library's view of the tree shows what it declares and nothing else.
# Compiles a one-line file including ALLOWED against VIEW, which must succeed, then one including
# REFUSED, which must fail for want of that header.
foreach(var COMPILER VIEW ALLOWED REFUSED WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckArrow.cmake needs -D${var}=...")
  endif()
endforeach()

file(MAKE_DIRECTORY ${WORK})
function(compile_include header out_result out_error)
  string(MAKE_C_IDENTIFIER ${header} name)
  file(WRITE ${WORK}/${name}.cc "#include \"${header}\"\n")
  execute_process(COMMAND ${COMPILER} -std=c++20 -fsyntax-only -I${VIEW} ${EXTRA_FLAGS} ${WORK}/${name}.cc
                  RESULT_VARIABLE result ERROR_VARIABLE error OUTPUT_QUIET)
  set(${out_result} ${result} PARENT_SCOPE)
  set(${out_error} "${error}" PARENT_SCOPE)
endfunction()

compile_include(${ALLOWED} result error)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${ALLOWED} should be seen through ${VIEW}:\n${error}")
endif()
compile_include(${REFUSED} result error)
if(result EQUAL 0)
  message(FATAL_ERROR "${REFUSED} is seen through ${VIEW}, which does not declare its folder")
endif()
if(NOT error MATCHES "No such file or directory")
  message(FATAL_ERROR "${REFUSED} failed for another reason than not being seen:\n${error}")
endif()
