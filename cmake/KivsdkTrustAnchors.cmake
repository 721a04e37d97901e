# Trust anchors: the two PEM CA bundles the library carries (one for the
# universe, one for worlds), and the sandbox PKI the tests run against.
#
# KIVSDK_UNIVERSE_CA_BUNDLE and KIVSDK_WORLD_CA_BUNDLE name the deployment's
# bundles, two CA certificates each. Without them the library embeds the
# sandbox CAs generated into this build tree, so it trusts only this build's
# sandbox. The sandbox PKI is generated at build time with the openssl tool,
# once per build tree (again only when a file of it is missing), and never
# into the source tree.
#
# Every generating command belongs to exactly one target; whoever needs its
# files depends on that target (add_dependencies). Make attaches a custom
# command to every target of its directory that uses the command's outputs,
# and two such targets building at once would run it twice, over each other.
#
# Provides:
#   target kivsdk_sandbox_pki     the only owner of the command generating the
#                                 sandbox PKI (with tests, sandbox trust or on
#                                 Linux, where the sandbox server is built)
#   kivsdk_embed_trust_anchors(<target>)
#                                 adds the generated .cpp defining the anchors
#                                 to <target>; call it once, from the folder
#                                 that defines <target>
#   KIVSDK_TRUST_ANCHORS_SOURCE   the generated .cpp defining the anchors
#   KIVSDK_TEST_PKI_INCLUDE_DIR   folder of the generated kivsdk_test_pki.h
#   KIVSDK_LIBRARY_TRUSTS_SANDBOX ON when the library embeds the sandbox CAs

set(KIVSDK_UNIVERSE_CA_BUNDLE "" CACHE FILEPATH
  "PEM file of the universe CA certificates (two) embedded in the library; empty: the build's sandbox CAs")
set(KIVSDK_WORLD_CA_BUNDLE "" CACHE FILEPATH
  "PEM file of the world CA certificates (two) embedded in the library; empty: the build's sandbox CAs")

# Release pipelines turn this on, so a library that trusts only a build's
# sandbox can never come out of them.
option(KIVSDK_REQUIRE_DEPLOYMENT_CAS
  "Fail to configure unless KIVSDK_UNIVERSE_CA_BUNDLE and KIVSDK_WORLD_CA_BUNDLE are given" OFF)

if(KIVSDK_UNIVERSE_CA_BUNDLE STREQUAL "" AND KIVSDK_WORLD_CA_BUNDLE STREQUAL "")
  if(KIVSDK_REQUIRE_DEPLOYMENT_CAS)
    message(FATAL_ERROR
      "KIVSDK_REQUIRE_DEPLOYMENT_CAS is ON but no CA bundles were given: set "
      "KIVSDK_UNIVERSE_CA_BUNDLE and KIVSDK_WORLD_CA_BUNDLE to the deployment's PEM "
      "bundles (a library without them trusts only this build's sandbox).")
  endif()
  set(KIVSDK_LIBRARY_TRUSTS_SANDBOX ON)
elseif(KIVSDK_UNIVERSE_CA_BUNDLE STREQUAL "" OR KIVSDK_WORLD_CA_BUNDLE STREQUAL "")
  message(FATAL_ERROR
    "Give both KIVSDK_UNIVERSE_CA_BUNDLE and KIVSDK_WORLD_CA_BUNDLE, or neither "
    "(then the library trusts the build's sandbox CAs).")
else()
  set(KIVSDK_LIBRARY_TRUSTS_SANDBOX OFF)
  foreach(bundle IN ITEMS KIVSDK_UNIVERSE_CA_BUNDLE KIVSDK_WORLD_CA_BUNDLE)
    if(NOT IS_ABSOLUTE "${${bundle}}")
      get_filename_component(${bundle} "${${bundle}}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
    endif()
    if(NOT EXISTS "${${bundle}}" OR IS_DIRECTORY "${${bundle}}")
      message(FATAL_ERROR "${bundle}: no such file: ${${bundle}}")
    endif()
  endforeach()
endif()

set(KIVSDK_SANDBOX_PKI_DIR "${PROJECT_BINARY_DIR}/sandbox-pki")
set(_kivsdk_pki_files
  universe-ca-1.pem universe-ca-1.key
  universe-ca-2.pem universe-ca-2.key
  world-ca-1.pem world-ca-1.key
  world-ca-2.pem world-ca-2.key
  rogue-ca.pem rogue-ca.key
  universe-bundle.pem world-bundle.pem
  universe-server.pem universe-server.key
  universe-server-rsa.pem universe-server-rsa.key
  world-server.pem world-server.key
  rogue-server.pem rogue-server.key
  otherhost-server.pem otherhost-server.key)
list(TRANSFORM _kivsdk_pki_files PREPEND "${KIVSDK_SANDBOX_PKI_DIR}/"
  OUTPUT_VARIABLE _kivsdk_pki_outputs)

# The sandbox server (Linux) loads the PKI's server keys whatever the
# library trusts.
if(KIVSDK_LIBRARY_TRUSTS_SANDBOX OR KIVSDK_BUILD_TESTS OR CMAKE_SYSTEM_NAME STREQUAL "Linux")
  find_program(KIVSDK_OPENSSL NAMES openssl)
  if(NOT KIVSDK_OPENSSL)
    message(FATAL_ERROR
      "The openssl tool was not found; it generates the sandbox PKI that the tests and the "
      "sandbox server (Linux) use and, without KIVSDK_UNIVERSE_CA_BUNDLE/KIVSDK_WORLD_CA_BUNDLE, "
      "the library's trust anchors. Install it (scripts/install-deps.sh) or set KIVSDK_OPENSSL.")
  endif()
  # The script skips its work when every file is present; Make and Ninja run
  # it when one is missing. Only kivsdk_sandbox_pki lists the outputs.
  add_custom_command(
    OUTPUT ${_kivsdk_pki_outputs}
    COMMAND "${CMAKE_COMMAND}"
      "-DOPENSSL=${KIVSDK_OPENSSL}"
      "-DDIR=${KIVSDK_SANDBOX_PKI_DIR}"
      -P "${CMAKE_CURRENT_LIST_DIR}/KivsdkMakeSandboxPki.cmake"
    COMMENT "Generating the sandbox PKI in ${KIVSDK_SANDBOX_PKI_DIR}"
    VERBATIM)
  add_custom_target(kivsdk_sandbox_pki DEPENDS ${_kivsdk_pki_outputs})
endif()

if(KIVSDK_LIBRARY_TRUSTS_SANDBOX)
  set(_kivsdk_universe_bundle "${KIVSDK_SANDBOX_PKI_DIR}/universe-bundle.pem")
  set(_kivsdk_world_bundle "${KIVSDK_SANDBOX_PKI_DIR}/world-bundle.pem")
  message(STATUS "Trust anchors: this build's sandbox CAs (${KIVSDK_SANDBOX_PKI_DIR})")
else()
  set(_kivsdk_universe_bundle "${KIVSDK_UNIVERSE_CA_BUNDLE}")
  set(_kivsdk_world_bundle "${KIVSDK_WORLD_CA_BUNDLE}")
  message(STATUS "Trust anchors: ${KIVSDK_UNIVERSE_CA_BUNDLE} (universe), "
                 "${KIVSDK_WORLD_CA_BUNDLE} (world)")
endif()

set(KIVSDK_TRUST_ANCHORS_SOURCE "${PROJECT_BINARY_DIR}/generated/src/trust_anchors.cpp")
set(_kivsdk_embed_script "${CMAKE_CURRENT_LIST_DIR}/KivsdkEmbedTrustAnchors.cmake")

# The command writing the anchors' source is created in the caller's folder,
# so it belongs to <target> alone. The sandbox bundles are outputs of
# kivsdk_sandbox_pki's command, made in this (the top) folder: the target
# dependency has them built first, and the file dependencies embed them again
# whenever they are regenerated.
function(kivsdk_embed_trust_anchors target)
  add_custom_command(
    OUTPUT "${KIVSDK_TRUST_ANCHORS_SOURCE}"
    COMMAND "${CMAKE_COMMAND}"
      "-DUNIVERSE=${_kivsdk_universe_bundle}"
      "-DWORLD=${_kivsdk_world_bundle}"
      "-DOUTPUT=${KIVSDK_TRUST_ANCHORS_SOURCE}"
      -P "${_kivsdk_embed_script}"
    DEPENDS "${_kivsdk_universe_bundle}" "${_kivsdk_world_bundle}" "${_kivsdk_embed_script}"
    COMMENT "Embedding the trust anchors"
    VERBATIM)
  target_sources(${target} PRIVATE "${KIVSDK_TRUST_ANCHORS_SOURCE}")
  if(KIVSDK_LIBRARY_TRUSTS_SANDBOX)
    add_dependencies(${target} kivsdk_sandbox_pki)
  endif()
endfunction()

# Where the tests find the sandbox PKI.
if(KIVSDK_BUILD_TESTS)
  set(KIVSDK_TEST_PKI_INCLUDE_DIR "${PROJECT_BINARY_DIR}/generated/tests")
  if(KIVSDK_LIBRARY_TRUSTS_SANDBOX)
    set(_kivsdk_trusts_sandbox 1)
    set(_kivsdk_trusts_sandbox_bool true)
  else()
    set(_kivsdk_trusts_sandbox 0)
    set(_kivsdk_trusts_sandbox_bool false)
  endif()
  file(CONFIGURE OUTPUT "${KIVSDK_TEST_PKI_INCLUDE_DIR}/kivsdk_test_pki.h" @ONLY CONTENT [=[
// Generated by cmake/KivsdkTrustAnchors.cmake: where this build's sandbox PKI
// lives. Do not edit.
#pragma once

// 1 when the library embeds the sandbox CAs, 0 when it was built with the
// deployment's bundles (then tests that need the library to trust the sandbox
// skip).
#define KIVSDK_LIBRARY_TRUSTS_SANDBOX @_kivsdk_trusts_sandbox@

namespace kivsdk::test {

constexpr bool kLibraryTrustsSandbox = @_kivsdk_trusts_sandbox_bool@;
constexpr const char* kTestPkiDir = "@KIVSDK_SANDBOX_PKI_DIR@";

// CA bundles (two CAs each) and the single CAs.
constexpr const char* kUniverseCaBundleFile = "universe-bundle.pem";
constexpr const char* kWorldCaBundleFile = "world-bundle.pem";
constexpr const char* kUniverseCa1File = "universe-ca-1.pem";
constexpr const char* kUniverseCa2File = "universe-ca-2.pem";
constexpr const char* kWorldCa1File = "world-ca-1.pem";
constexpr const char* kWorldCa2File = "world-ca-2.pem";
constexpr const char* kRogueCaFile = "rogue-ca.pem";

// Server certificates and keys. All but otherhost name "localhost",
// 127.0.0.1 and ::1.
constexpr const char* kUniverseServerCertFile = "universe-server.pem";  // universe CA 1, ECDSA P-256
constexpr const char* kUniverseServerKeyFile = "universe-server.key";
constexpr const char* kUniverseServerRsaCertFile = "universe-server-rsa.pem";  // universe CA 1, RSA-2048
constexpr const char* kUniverseServerRsaKeyFile = "universe-server-rsa.key";
constexpr const char* kWorldServerCertFile = "world-server.pem";  // world CA 2, ECDSA P-256
constexpr const char* kWorldServerKeyFile = "world-server.key";
constexpr const char* kRogueServerCertFile = "rogue-server.pem";  // rogue CA, ECDSA P-256
constexpr const char* kRogueServerKeyFile = "rogue-server.key";
constexpr const char* kOtherhostServerCertFile = "otherhost-server.pem";  // "otherhost.test" only, universe CA 1
constexpr const char* kOtherhostServerKeyFile = "otherhost-server.key";

}  // namespace kivsdk::test
]=])
endif()
