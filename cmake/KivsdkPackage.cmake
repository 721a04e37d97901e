# CPack: four Debian packages from the install components on Linux
# (cpack -G DEB), the Windows SDK zip from a mingw build (cpack -G ZIP).
# scripts/package.sh drives both.
#
# The packages are development builds unless the library was configured with
# the deployment's CA bundles: their descriptions say which CAs it trusts.

set(CPACK_PACKAGE_NAME "kivsdk")
set(CPACK_PACKAGE_VENDOR "KIVSDK developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "KIVSDK developers <kivsdk@example.org>" CACHE STRING
  "Maintainer of the packages (name <address>)")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages" CACHE PATH
  "Where cpack writes the packages")

if(KIVSDK_LIBRARY_TRUSTS_SANDBOX)
  set(kivsdk_trust_note
"
This is a development build: the library trusts only the sandbox CAs
bundled with it, whose server keys ship in kivsdk-tools, so it connects to
the sandbox and to nothing else until a program calls kiv_trust_set with
other CAs. Packages built with the deployment's CA bundles
(scripts/package.sh --universe-ca-bundle FILE --world-ca-bundle FILE)
trust those instead.")
else()
  set(kivsdk_trust_note
"
The library trusts the CA bundles given to this build
(KIVSDK_UNIVERSE_CA_BUNDLE, KIVSDK_WORLD_CA_BUNDLE); kiv_trust_set replaces
them at run time.")
endif()

if(WIN32)
  # The SDK zip: the DLL, its import library, the headers, the CMake and
  # pkg-config files, the docs and the greeter example, in one folder.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Client library of a networked multi-user 3D virtual world")
  # Those components only, in one archive.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL runtime dev example)
  set(CPACK_PACKAGE_FILE_NAME "KIVSDK-${PROJECT_VERSION}-win64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  if(KIVSDK_LIBRARY_TRUSTS_SANDBOX)
    set(KIVSDK_PACKAGE_TRUST_TEXT "this is a development build. KIVSDK.dll trusts only the
sandbox CAs of the build that made it, so it connects to that build's sandbox
and to nothing else until a program calls kiv_trust_set with other CAs. An SDK
built with the deployment's CA bundles (scripts/package.sh --universe-ca-bundle
FILE --world-ca-bundle FILE) trusts those instead.")
  else()
    set(KIVSDK_PACKAGE_TRUST_TEXT "KIVSDK.dll trusts the deployment's CA bundles it was
built with; kiv_trust_set replaces them at run time.")
  endif()
  configure_file("${CMAKE_CURRENT_LIST_DIR}/packaging/README-windows.txt.in"
    "${PROJECT_BINARY_DIR}/packaging/README.txt" @ONLY)
  install(FILES "${PROJECT_BINARY_DIR}/packaging/README.txt" DESTINATION . COMPONENT example)
  include(CPack)
  return()
endif()

set(CPACK_GENERATOR DEB)
# Each description's first line is its package's synopsis: no common summary,
# which CPack would put before it.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# A shlibs file for libKIVSDK.so.0 (versioned "="), and the ldconfig trigger
# for the packages with shared libraries.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
file(WRITE "${PROJECT_BINARY_DIR}/packaging/triggers" "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${PROJECT_BINARY_DIR}/packaging/triggers")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA "${PROJECT_BINARY_DIR}/packaging/triggers")
set(kivsdk_exact "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkivsdk0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"client library of a networked multi-user 3D virtual world
KIVSDK connects bots, viewers and tools to a universe server and its world
servers over TLS, through a flat C interface of kiv_ functions. Everything
runs on the host's thread inside kiv_wait; the library starts no thread.

This package holds the shared library libKIVSDK.so.0.
${kivsdk_trust_note}")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkivsdk-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# pkg-config resolves kivsdk.pc's Requires.private (mbedtls) for every query.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkivsdk0 ${kivsdk_exact}, libmbedtls-dev (>= 3.6)")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "libuv1-dev, libasio-dev, libglib2.0-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"development files of the KIVSDK client library
KIVSDK connects bots, viewers and tools to a universe server and its world
servers over TLS, through a flat C interface of kiv_ functions.

This package holds the C header kivsdk.h, the C++17 header kivsdk.hpp, the
event-loop adapters' headers (libuv, Asio, GLib: their development packages
are suggested), the CMake package (find_package(KIVSDK)), the pkg-config
file kivsdk.pc and the documentation.
${kivsdk_trust_note}")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kivsdk-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "libkivsdk-dev")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"sandbox server, test kit and commands of KIVSDK
kivsandbox is a universe server and its world servers in one process, on
loopback, for writing and testing bots offline; its server certificates and
keys (the sandbox PKI) are in /usr/share/kivsdk/sandbox-pki. The test kit
(libkivsdk_testkit.so, kivsandbox.h) runs the same sandbox inside a bot's
tests. kivswarm runs many bots as a load test, kivdump decodes traffic
captures and kivreplay plays them back.
${kivsdk_trust_note}")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kivsdk)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, libkivsdk0 ${kivsdk_exact}")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "kivsdk-tools, python3-pytest")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
"Python binding of the KIVSDK client library
The kivsdk package drives libKIVSDK.so.0 over ctypes: Instances, events and
callbacks, an asyncio interface (kivsdk.aio), Locust users (kivsdk.locust)
and the test kit's sandbox for pytest (kivsdk.testing, with kivsdk-tools).
${kivsdk_trust_note}")

# Every Debian package carries its copyright file and a changelog in
# /usr/share/doc/<package>.
set(kivsdk_changelog_dir "${PROJECT_BINARY_DIR}/packaging/changelog")
# (SOURCE_DATE_EPOCH, when set, gives the date.)
string(TIMESTAMP kivsdk_package_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP KIVSDK_PACKAGE_YEAR "%Y" UTC)
configure_file("${CMAKE_CURRENT_LIST_DIR}/packaging/copyright.in"
  "${PROJECT_BINARY_DIR}/packaging/copyright" @ONLY)
find_program(KIVSDK_GZIP NAMES gzip)
foreach(component IN ITEMS RUNTIME DEV TOOLS PYTHON)
  set(package "${CPACK_DEBIAN_${component}_PACKAGE_NAME}")
  string(TOLOWER "${component}" component_lower)
  file(MAKE_DIRECTORY "${kivsdk_changelog_dir}/${package}")
  file(WRITE "${kivsdk_changelog_dir}/${package}/changelog"
"${package} (${PROJECT_VERSION}) unstable; urgency=medium

  * Development build of KIVSDK ${PROJECT_VERSION}.

 -- ${CPACK_PACKAGE_CONTACT}  ${kivsdk_package_date}
")
  if(KIVSDK_GZIP)
    execute_process(COMMAND "${KIVSDK_GZIP}" -9nf
      "${kivsdk_changelog_dir}/${package}/changelog")
    install(FILES "${kivsdk_changelog_dir}/${package}/changelog.gz"
      DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${package}" COMPONENT ${component_lower}
      EXCLUDE_FROM_ALL)
  endif()
  install(FILES "${PROJECT_BINARY_DIR}/packaging/copyright"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${package}" COMPONENT ${component_lower}
    EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
