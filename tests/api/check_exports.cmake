# The shared library exports exactly the kiv_ functions the header declares
# for this platform (outside the Windows-only block): 63 on Linux.
#   -DLIBRARY=path -DHEADER=path -DNM=path

file(READ "${HEADER}" header_text)
# Drop the Windows-only declarations.
string(REGEX REPLACE "#ifdef _WIN32[^#]*#endif" "" header_text "${header_text}")
string(REGEX MATCHALL "KIVSDK_API[^;(]*[ *](kiv_[a-z0-9_]+)\\(" declarations "${header_text}")
set(declared)
foreach(declaration IN LISTS declarations)
  string(REGEX MATCH "kiv_[a-z0-9_]+" name "${declaration}")
  list(APPEND declared ${name})
endforeach()
list(REMOVE_DUPLICATES declared)
list(LENGTH declared declared_count)
if(NOT declared_count EQUAL 63)
  message(FATAL_ERROR "the header declares ${declared_count} functions for this platform, not 63")
endif()

set(expected ${declared})

execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}"
  OUTPUT_VARIABLE nm_output RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" nm_lines "${nm_output}")
set(exported)
foreach(line IN LISTS nm_lines)
  if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) (.+)$")
    set(kind "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
    # Absolute symbols are the linker's version-node markers, not code.
    if(NOT kind STREQUAL "A")
      string(REGEX REPLACE "@.*$" "" name "${name}")
      list(APPEND exported "${name}")
    endif()
  endif()
endforeach()

set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
if(unexpected OR missing)
  message(FATAL_ERROR "exports differ from the header.\n  unexpected: ${unexpected}\n  missing: ${missing}")
endif()
list(LENGTH exported exported_count)
message(STATUS "${exported_count} exported functions, all declared in the header")
