# Installs the build tree into WORK_DIR/prefix and builds the consumer in
# CONSUMER_DIR against it, with find_package and with pkg-config, running
# each program. Any failure stops the script with FATAL_ERROR.
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${result}): ${command}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
  set(run_error "${err}" PARENT_SCOPE)
endfunction()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
# A library that trusts only its sandbox says so, naming the build options.
if(TRUSTS_SANDBOX AND NOT "${run_output}${run_error}" MATCHES
   "KIVSDK_UNIVERSE_CA_BUNDLE.*KIVSDK_WORLD_CA_BUNDLE")
  message(FATAL_ERROR "cmake --install gave no warning about the sandbox CAs:\n${run_error}")
endif()

# --- the installed tree ------------------------------------------------------
file(GLOB libraries LIST_DIRECTORIES false "${prefix}/lib*/libKIVSDK.so*")
file(GLOB archives "${prefix}/lib*/*.a")
if(archives)
  message(FATAL_ERROR "static archives were installed: ${archives}")
endif()
find_file(library_link libKIVSDK.so PATHS "${prefix}/lib" "${prefix}/lib64" NO_DEFAULT_PATH
          NO_CACHE)
if(NOT library_link)
  message(FATAL_ERROR "no libKIVSDK.so under ${prefix}: ${libraries}")
endif()
get_filename_component(libdir "${library_link}" DIRECTORY)
string(REGEX MATCH "^[0-9]+" major "${EXPECTED_VERSION}")
# libKIVSDK.so -> libKIVSDK.so.<major> -> libKIVSDK.so.<version>
file(READ_SYMLINK "${libdir}/libKIVSDK.so" development_target)
file(READ_SYMLINK "${libdir}/libKIVSDK.so.${major}" soname_target)
if(NOT development_target STREQUAL "libKIVSDK.so.${major}"
   OR NOT soname_target STREQUAL "libKIVSDK.so.${EXPECTED_VERSION}"
   OR IS_SYMLINK "${libdir}/libKIVSDK.so.${EXPECTED_VERSION}")
  message(FATAL_ERROR "library links are wrong: libKIVSDK.so -> ${development_target}, "
                      "libKIVSDK.so.${major} -> ${soname_target}")
endif()
find_program(readelf NAMES readelf NO_CACHE)
if(readelf)
  run(${readelf} -d "${libdir}/libKIVSDK.so.${EXPECTED_VERSION}")
  if(NOT run_output MATCHES "SONAME\\)[^\n]*\\[libKIVSDK\\.so\\.${major}\\]")
    message(FATAL_ERROR "SONAME is not libKIVSDK.so.${major}:\n${run_output}")
  endif()
endif()
foreach(header kivsdk.h kivsdk.hpp)
  if(NOT EXISTS "${prefix}/include/${header}")
    message(FATAL_ERROR "${header} was not installed")
  endif()
endforeach()
file(GLOB docs "${prefix}/share/doc/*/*.md")
if(NOT docs)
  message(FATAL_ERROR "no documentation under ${prefix}/share/doc")
endif()
# Everything a bot author uses, as listed in the README's Install section.
set(expected
  "${prefix}/include/kivsdk/adapters/libuv.hpp"
  "${prefix}/share/doc/KIVSDK/README.md"
  "${libdir}/pkgconfig/kivsdk.pc"
  "${libdir}/cmake/KIVSDK/KIVSDKConfig.cmake"
  "${prefix}/bin/kivdump"
  "${prefix}/bin/kivreplay")
set(python_package "${prefix}/lib/python3/dist-packages/kivsdk")
foreach(module __init__.py _native.py _build_info.py instance.py constants.py loop.py aio.py
               locust.py testing.py py.typed)
  list(APPEND expected "${python_package}/${module}")
endforeach()
if(WITH_SWARM)
  list(APPEND expected "${prefix}/bin/kivswarm")
endif()
if(WITH_SANDBOX OR WITH_TESTKIT)
  foreach(pki_file universe-server.pem universe-server.key world-server.pem world-server.key
                   universe-bundle.pem world-bundle.pem)
    list(APPEND expected "${prefix}/share/kivsdk/sandbox-pki/${pki_file}")
  endforeach()
endif()
if(WITH_SANDBOX)
  list(APPEND expected "${prefix}/bin/kivsandbox")
endif()
if(WITH_TESTKIT)
  list(APPEND expected "${prefix}/include/kivsandbox.h" "${libdir}/libkivsdk_testkit.so"
                       "${libdir}/pkgconfig/kivsdk-testkit.pc")
endif()
set(missing "")
foreach(file IN LISTS expected)
  if(NOT EXISTS "${file}")
    list(APPEND missing "${file}")
  endif()
endforeach()
if(missing)
  string(REPLACE ";" "\n  " missing "${missing}")
  message(FATAL_ERROR "not installed:\n  ${missing}")
endif()

# The installed sandbox takes the certificates installed beside it, not the
# build tree's.
if(WITH_SANDBOX)
  run(${CMAKE_COMMAND} -E env --unset=KIVSDK_SANDBOX_PKI "${prefix}/bin/kivsandbox" --help)
  file(REAL_PATH "${prefix}/share/kivsdk/sandbox-pki" installed_pki)
  if(NOT run_output MATCHES "Sandbox PKI \\(the default certificates and keys\\): ([^\n]*)"
     OR NOT CMAKE_MATCH_1 STREQUAL installed_pki)
    message(FATAL_ERROR "the installed kivsandbox uses '${CMAKE_MATCH_1}', not ${installed_pki}")
  endif()
endif()

# The installed Python package loads the library installed with it, and its
# version is the library's.
if(PYTHON AND NOT SANITIZE)
  run(${CMAKE_COMMAND} -E env --unset=KIVSDK_LIBRARY --unset=KIVSDK_HEADER
      "PYTHONPATH=${prefix}/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1
      "${PYTHON}" -c
      "import kivsdk, kivsdk._native as n\nprint(kivsdk.__version__)\nprint(n.library_path())")
  string(REPLACE "\n" ";" python_lines "${run_output}")
  list(GET python_lines 0 python_version)
  list(GET python_lines 1 python_library)
  file(REAL_PATH "${python_library}" python_library)
  file(REAL_PATH "${libdir}/libKIVSDK.so.${major}" installed_library)
  if(NOT python_version STREQUAL EXPECTED_VERSION OR NOT python_library STREQUAL installed_library)
    message(FATAL_ERROR "the installed kivsdk is ${python_version} with ${python_library}, "
                        "not ${EXPECTED_VERSION} with ${installed_library}")
  endif()
endif()

file(GLOB package_files "${libdir}/cmake/KIVSDK/*.cmake")
foreach(package_file IN LISTS package_files)
  file(READ "${package_file}" text)
  if(text MATCHES "kivsdk_internal")
    message(FATAL_ERROR "${package_file} names the internal library")
  endif()
endforeach()

set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=address,undefined")
endif()

# --- consumer 1: find_package --------------------------------------------------
run(${CMAKE_COMMAND} -S "${CONSUMER_DIR}" -B "${WORK_DIR}/cmake-consumer" -G "${GENERATOR}"
    "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_FLAGS=${flags}" "-DCMAKE_CXX_FLAGS=${flags}"
    "-DEXPECTED_VERSION=${EXPECTED_VERSION}")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/cmake-consumer")
foreach(program consumer_c consumer_cpp)
  run("${WORK_DIR}/cmake-consumer/${program}")
  message(STATUS "find_package ${program}: ${run_output}")
endforeach()

# --- consumer 2: pkg-config ---------------------------------------------------
if(PKG_CONFIG)
  set(pc_path "${libdir}/pkgconfig")
  if(MBEDTLS_DIR)
    # An Mbed TLS outside the system paths keeps its .pc files next to its
    # CMake package (lib/cmake/MbedTLS -> lib/pkgconfig).
    get_filename_component(mbedtls_pc "${MBEDTLS_DIR}/../../pkgconfig" ABSOLUTE)
    string(APPEND pc_path ":${mbedtls_pc}")
  endif()
  set(pc ${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${pc_path}" ${PKG_CONFIG})
  run(${pc} --modversion kivsdk)
  string(STRIP "${run_output}" pc_version)
  if(NOT pc_version STREQUAL EXPECTED_VERSION)
    message(FATAL_ERROR "kivsdk.pc says version ${pc_version}, not ${EXPECTED_VERSION}")
  endif()
  run(${pc} --print-requires-private kivsdk)
  foreach(module mbedtls mbedx509 mbedcrypto)
    if(NOT run_output MATCHES "(^|\n)${module}")
      message(FATAL_ERROR "kivsdk.pc does not require ${module} privately:\n${run_output}")
    endif()
  endforeach()
  run(${pc} --cflags --libs kivsdk)
  separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
  separate_arguments(extra UNIX_COMMAND "${flags}")
  file(MAKE_DIRECTORY "${WORK_DIR}/pc-consumer")
  run(${C_COMPILER} -std=c99 -Wall -Wextra -pedantic -Werror ${extra}
      "${CONSUMER_DIR}/consumer.c" -o "${WORK_DIR}/pc-consumer/consumer_c" ${pc_flags})
  run(${CXX_COMPILER} -std=c++17 -Wall -Wextra -pedantic -Werror ${extra}
      "${CONSUMER_DIR}/consumer.cpp" -o "${WORK_DIR}/pc-consumer/consumer_cpp" ${pc_flags})
  foreach(program consumer_c consumer_cpp)
    run(${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${libdir}" "${WORK_DIR}/pc-consumer/${program}")
    message(STATUS "pkg-config ${program}: ${run_output}")
  endforeach()
endif()
