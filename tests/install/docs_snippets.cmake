# Compiles the C and C++ programs of docs/getting-started.md against this
# build, with warnings as errors, so the first bots of the documentation keep
# building as the interface moves. -DDOC=... -DWORK_DIR=... -DINCLUDE_DIR=...
# -DLIBRARY=... -DC_COMPILER=... -DCXX_COMPILER=... -DFLAGS=...
cmake_minimum_required(VERSION 3.25)
file(READ "${DOC}" text)
# Semicolons and brackets would split or glue CMake list items: hide them.
string(REPLACE ";" "<SC>" text "${text}")
string(REPLACE "[" "<LB>" text "${text}")
string(REPLACE "]" "<RB>" text "${text}")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
separate_arguments(extra UNIX_COMMAND "${FLAGS}")
get_filename_component(libdir "${LIBRARY}" DIRECTORY)
set(count 0)
foreach(language c cpp)
  string(REGEX MATCHALL "```${language}\n[^`]*```" blocks "${text}")
  if(NOT blocks)
    message(FATAL_ERROR "no ${language} program in ${DOC}")
  endif()
  foreach(block IN LISTS blocks)
    math(EXPR count "${count} + 1")
    string(REGEX REPLACE "^```${language}\n" "" code "${block}")
    string(REGEX REPLACE "```$" "" code "${code}")
    string(REPLACE "<SC>" ";" code "${code}")
    string(REPLACE "<LB>" "[" code "${code}")
    string(REPLACE "<RB>" "]" code "${code}")
    set(source "${WORK_DIR}/snippet${count}.${language}")
    file(WRITE "${source}" "${code}")
    if(language STREQUAL "c")
      set(compile ${C_COMPILER} -std=c99)
    else()
      set(compile ${CXX_COMPILER} -std=c++17)
    endif()
    execute_process(
      COMMAND ${compile} -Wall -Wextra -pedantic -Werror ${extra} "-I${INCLUDE_DIR}" "${source}"
              -o "${WORK_DIR}/snippet${count}" "-L${libdir}" -lKIVSDK
      RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "the ${language} program ${count} of ${DOC} does not build:\n${code}\n${out}${err}")
    endif()
  endforeach()
endforeach()
message(STATUS "${count} programs of ${DOC} build")
