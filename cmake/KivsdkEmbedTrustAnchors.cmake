# Writes the C++ source that embeds the two CA bundles.
#
#   cmake -DUNIVERSE=<pem> -DWORLD=<pem> -DOUTPUT=<cpp> -P KivsdkEmbedTrustAnchors.cmake
#
# Each bundle becomes a byte array holding the PEM text and a terminating
# zero, which its length counts: Mbed TLS parses PEM input only with that
# zero inside the given length. Each bundle must hold exactly two
# certificates.

cmake_minimum_required(VERSION 3.25)

if(NOT UNIVERSE OR NOT WORLD OR NOT OUTPUT)
  message(FATAL_ERROR "usage: cmake -DUNIVERSE=<pem> -DWORLD=<pem> -DOUTPUT=<cpp> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()

# Sets ${out} to the array initialiser of the file's bytes plus a zero.
function(embed path out)
  file(READ "${path}" text)
  string(REGEX MATCHALL "-----BEGIN CERTIFICATE-----" begins "${text}")
  list(LENGTH begins count)
  if(NOT count EQUAL 2)
    message(FATAL_ERROR "${path}: a CA bundle must hold exactly two PEM certificates, found ${count}.")
  endif()
  file(READ "${path}" hex HEX)
  # A zero byte would end the PEM text early; hex pairs start at even offsets.
  string(REGEX MATCHALL ".." pairs "${hex}")
  if("00" IN_LIST pairs)
    message(FATAL_ERROR "${path}: a PEM bundle must not contain zero bytes.")
  endif()
  string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
  set(${out} "    ${bytes}0x00" PARENT_SCOPE)
endfunction()

embed("${UNIVERSE}" universe)
embed("${WORLD}" world)

set(content "// Generated at build time from ${UNIVERSE} and ${WORLD}.
// Do not edit.
#include \"connection/trust_anchors.h\"

namespace kivsdk {
namespace {

const unsigned char kUniverseBundle[] = {
${universe}};

const unsigned char kWorldBundle[] = {
${world}};

}  // namespace

TrustAnchor universe_trust_anchors() noexcept {
    return {kUniverseBundle, sizeof kUniverseBundle};
}

TrustAnchor world_trust_anchors() noexcept {
    return {kWorldBundle, sizeof kWorldBundle};
}

}  // namespace kivsdk
")

# Rewrite only on change, so an unchanged bundle recompiles nothing.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
  if(previous STREQUAL content)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${content}")
