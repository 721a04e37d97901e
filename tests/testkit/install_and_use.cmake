# Installs the build tree into WORK_DIR/prefix, then builds and runs a
# program that starts a kit, once through find_package(KIVSDK COMPONENTS
# testkit) and once through pkg-config kivsdk-testkit, and the GoogleTest
# example of docs/testing-bots.md (GREETER_TEST) through find_package. Any
# failure stops the script with FATAL_ERROR.
cmake_minimum_required(VERSION 3.25)

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}"
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
foreach(file include/kivsandbox.h include/kivsandbox.hpp
             share/kivsdk/sandbox-pki/universe-bundle.pem
             share/kivsdk/sandbox-pki/world-server.key)
  if(NOT EXISTS "${prefix}/${file}")
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()
file(GLOB pc_files "${prefix}/lib*/pkgconfig/kivsdk-testkit.pc")
if(NOT pc_files)
  message(FATAL_ERROR "kivsdk-testkit.pc was not installed")
endif()
get_filename_component(pc_dir "${pc_files}" DIRECTORY)
get_filename_component(libdir "${pc_dir}" DIRECTORY)

set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=address,undefined")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -S "${CONSUMER_DIR}" -B "${WORK_DIR}/cmake" -G
                        "${GENERATOR}" "-DCMAKE_C_COMPILER=${C_COMPILER}"
                        "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DGREETER_TEST=${GREETER_TEST}"
                        "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_FLAGS=${flags}"
                        "-DCMAKE_CXX_FLAGS=${flags}"
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build "${WORK_DIR}/cmake" OUTPUT_QUIET
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${WORK_DIR}/cmake/kit_consumer" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${WORK_DIR}/cmake/greeter_test" --gtest_brief=1
                COMMAND_ERROR_IS_FATAL ANY)

if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs kivsdk-testkit
                  OUTPUT_VARIABLE pc_flags OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
  separate_arguments(flags UNIX_COMMAND "${flags}")
  execute_process(COMMAND ${C_COMPILER} -std=c99 ${flags} "${CONSUMER_DIR}/kit_consumer.c"
                          ${pc_flags} -o "${WORK_DIR}/kit_consumer_pc"
                  COMMAND_ERROR_IS_FATAL ANY)
  set(ENV{LD_LIBRARY_PATH} "${libdir}")
  execute_process(COMMAND "${WORK_DIR}/kit_consumer_pc" COMMAND_ERROR_IS_FATAL ANY)
endif()
