# Mbed TLS 3.6, GoogleTest and Google Benchmark.

find_package(MbedTLS 3.6 CONFIG)
if(NOT MbedTLS_FOUND)
  message(FATAL_ERROR
    "Mbed TLS 3.6 was not found (MbedTLSConfig.cmake). Run scripts/install-deps.sh as root, "
    "or point MbedTLS_DIR at an installed Mbed TLS 3.6.x (lib/cmake/MbedTLS).")
endif()
if(MbedTLS_VERSION VERSION_LESS 3.6.0)
  message(FATAL_ERROR "Mbed TLS ${MbedTLS_VERSION} is too old: 3.6.0 or newer 3.6.x is required.")
endif()

# The oldest TLS version the library and the server core speak. "1.3" turns
# TLS 1.2 off on both sides (KIVSDK_TLS_DEFINITIONS, given to kivsdk_internal
# and kivsdk_server_core).
set(KIVSDK_TLS_MIN_VERSION "1.2" CACHE STRING
  "Oldest TLS version spoken by the library and the sandbox: 1.2 or 1.3")
set_property(CACHE KIVSDK_TLS_MIN_VERSION PROPERTY STRINGS "1.2" "1.3")
if(KIVSDK_TLS_MIN_VERSION STREQUAL "1.2")
  set(KIVSDK_TLS_DEFINITIONS "")
elseif(KIVSDK_TLS_MIN_VERSION STREQUAL "1.3")
  set(KIVSDK_TLS_DEFINITIONS KIVSDK_TLS_MIN_VERSION_13=1)
else()
  message(FATAL_ERROR
    "KIVSDK_TLS_MIN_VERSION is \"${KIVSDK_TLS_MIN_VERSION}\"; it must be 1.2 or 1.3.")
endif()

if(MbedTLS_VERSION VERSION_LESS 3.6.8)
  if(KIVSDK_TLS_MIN_VERSION STREQUAL "1.2")
    message(WARNING
      "Mbed TLS ${MbedTLS_VERSION} predates 3.6.8, which fixes the November 2026 advisories, "
      "among them CVE-2026-115490 (a TLS 1.3 downgrade confusion affecting clients that offer "
      "TLS 1.2 and 1.3, as this library does with KIVSDK_TLS_MIN_VERSION=1.2). Build against "
      "3.6.8 or newer for deployment; if your servers speak TLS 1.3, also set "
      "-DKIVSDK_TLS_MIN_VERSION=1.3.")
  else()
    message(WARNING
      "Mbed TLS ${MbedTLS_VERSION} predates 3.6.8, which fixes the November 2026 advisories. "
      "KIVSDK_TLS_MIN_VERSION=1.3 keeps the client out of CVE-2026-115490 (it never offers "
      "TLS 1.2), but build against 3.6.8 or newer for deployment.")
  endif()
endif()
message(STATUS "Mbed TLS ${MbedTLS_VERSION}")
message(STATUS "TLS minimum version: ${KIVSDK_TLS_MIN_VERSION} (KIVSDK_TLS_MIN_VERSION)")

if(KIVSDK_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(KIVSDK_BUILD_BENCHMARKS)
  find_package(benchmark REQUIRED)
endif()
