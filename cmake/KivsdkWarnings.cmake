# Warning flags for the project's own targets (never for dependencies).
function(kivsdk_set_warnings target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
      -Wcast-qual -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations
      $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>)
    if(KIVSDK_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
