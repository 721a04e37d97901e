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
if(MbedTLS_VERSION VERSION_LESS 3.6.8)
  message(WARNING
    "Mbed TLS ${MbedTLS_VERSION} predates 3.6.8, which fixes the November 2026 advisories, "
    "among them CVE-2026-115490 (a TLS 1.3 downgrade confusion affecting clients that offer "
    "TLS 1.2 and 1.3, as this library does). Build against 3.6.8 or newer for deployment.")
endif()
message(STATUS "Mbed TLS ${MbedTLS_VERSION}")

if(KIVSDK_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(KIVSDK_BUILD_BENCHMARKS)
  find_package(benchmark REQUIRED)
endif()
