# Install rules: the shared library (with its SONAME links), the headers, the
# documentation, a CMake package (KIVSDK::KIVSDK), a pkg-config file, the
# sandbox server with its certificates, the commands, the test kit and the
# Python package. Every rule names its component, one per Debian package
# (cmake/KivsdkPackage.cmake):
#   runtime   the shared library                          libkivsdk0
#   dev       headers, CMake and pkg-config files, docs   libkivsdk-dev
#   tools     kivsandbox, its PKI, the test kit, commands kivsdk-tools
#   python    the Python package                          python3-kivsdk
#   example   Windows only: the C greeter, for the SDK zip
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS KIVSDK EXPORT KIVSDKTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES
  "${PROJECT_SOURCE_DIR}/include/kivsdk.h"
  "${PROJECT_SOURCE_DIR}/include/kivsdk.hpp"
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
# The event-loop adapters: headers only; a host links its own loop's library.
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/kivsdk/adapters"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/kivsdk" COMPONENT dev)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/docs/" DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT dev)
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT dev)

# A library that embeds the sandbox CAs connects to nothing but a sandbox:
# say so wherever it is installed.
if(KIVSDK_LIBRARY_TRUSTS_SANDBOX)
  install(CODE [[
message(WARNING "This KIVSDK library trusts only its build's sandbox CAs: it cannot connect "
  "to a deployed universe or world unless the host calls kiv_trust_set. Configure the build "
  "with -DKIVSDK_UNIVERSE_CA_BUNDLE=FILE -DKIVSDK_WORLD_CA_BUNDLE=FILE (the deployment's PEM "
  "bundles) to embed real CAs; -DKIVSDK_REQUIRE_DEPLOYMENT_CAS=ON makes that mandatory.")
]] COMPONENT runtime)
endif()

set(KIVSDK_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/KIVSDK")
install(EXPORT KIVSDKTargets NAMESPACE KIVSDK:: DESTINATION "${KIVSDK_CMAKE_DIR}"
  COMPONENT dev)

# The internal library and Mbed TLS are linked privately into the shared
# library, so a consumer needs Mbed TLS only when the exported link interface
# names it (a static build of KIVSDK would).
get_target_property(kivsdk_interface KIVSDK INTERFACE_LINK_LIBRARIES)
set(KIVSDK_CONFIG_DEPENDENCIES "")
if(kivsdk_interface MATCHES "MbedTLS::")
  set(KIVSDK_CONFIG_DEPENDENCIES
      "include(CMakeFindDependencyMacro)\nfind_dependency(MbedTLS ${MbedTLS_VERSION})")
endif()
configure_package_config_file(
  "${PROJECT_SOURCE_DIR}/cmake/KIVSDKConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/KIVSDKConfig.cmake"
  INSTALL_DESTINATION "${KIVSDK_CMAKE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/KIVSDKConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/KIVSDKConfig.cmake"
  "${PROJECT_BINARY_DIR}/KIVSDKConfigVersion.cmake"
  DESTINATION "${KIVSDK_CMAKE_DIR}" COMPONENT dev)

# The .pc file finds its prefix relative to itself, so the installed tree can
# be moved (or installed with cmake --install --prefix).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KIVSDK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(KIVSDK_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(KIVSDK_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH kivsdk_pc_up "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" kivsdk_pc_up "${kivsdk_pc_up}")
  set(KIVSDK_PC_PREFIX "\${pcfiledir}/${kivsdk_pc_up}")
  set(KIVSDK_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(KIVSDK_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file("${PROJECT_SOURCE_DIR}/cmake/kivsdk.pc.in" "${PROJECT_BINARY_DIR}/kivsdk.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/kivsdk.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
  COMPONENT dev)

if(TARGET kivsdk_testkit)
  include("${PROJECT_SOURCE_DIR}/sandbox/testkit/install.cmake")
endif()

# The sandbox's server certificates and keys and the CA bundles a bot
# trusts, where kivsandbox and the test kit look for them.
if(TARGET kivsdk_sandbox_pki AND (TARGET kivsandbox OR TARGET kivsdk_testkit))
  install(FILES
    "${KIVSDK_SANDBOX_PKI_DIR}/universe-server.pem"
    "${KIVSDK_SANDBOX_PKI_DIR}/universe-server.key"
    "${KIVSDK_SANDBOX_PKI_DIR}/world-server.pem"
    "${KIVSDK_SANDBOX_PKI_DIR}/world-server.key"
    "${KIVSDK_SANDBOX_PKI_DIR}/universe-bundle.pem"
    "${KIVSDK_SANDBOX_PKI_DIR}/world-bundle.pem"
    DESTINATION "${KIVSDK_SANDBOX_PKI_INSTALL_DIR}" COMPONENT tools)
endif()

# The Python package, with a generated _build_info.py: its version (the
# library's) and where the library was installed, relative to the package,
# which the package tries right after $KIVSDK_LIBRARY.
if(NOT WIN32)
  set(KIVSDK_PYTHON_INSTALL_DIR "lib/python3/dist-packages" CACHE STRING
    "Where the Python package kivsdk is installed, relative to the prefix")
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/bindings/python/kivsdk"
    DESTINATION "${KIVSDK_PYTHON_INSTALL_DIR}" COMPONENT python
    FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(kivsdk_python_library_dir "${CMAKE_INSTALL_LIBDIR}")
  else()
    file(RELATIVE_PATH kivsdk_python_library_dir "/root/${KIVSDK_PYTHON_INSTALL_DIR}/kivsdk"
      "/root/${CMAKE_INSTALL_LIBDIR}")
    string(REGEX REPLACE "/$" "" kivsdk_python_library_dir "${kivsdk_python_library_dir}")
  endif()
  file(GENERATE OUTPUT "${PROJECT_BINARY_DIR}/python/_build_info.py" CONTENT
"\"\"\"Written by CMake when the package was installed with the library.\"\"\"
VERSION = \"${PROJECT_VERSION}\"
# The library, relative to this folder (or absolute).
LIBRARY = \"${kivsdk_python_library_dir}/$<TARGET_SONAME_FILE_NAME:KIVSDK>\"
")
  install(FILES "${PROJECT_BINARY_DIR}/python/_build_info.py"
    DESTINATION "${KIVSDK_PYTHON_INSTALL_DIR}/kivsdk" COMPONENT python)
endif()

# The Windows SDK zip's example: the C greeter as an .exe, with its source.
if(WIN32)
  install(TARGETS kivsdk_greeter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT example)
  install(FILES "${PROJECT_SOURCE_DIR}/examples/greeter.c" DESTINATION examples
    COMPONENT example)
endif()

include(KivsdkPackage)
