# Generates the sandbox PKI of one build tree with the openssl tool.
#
#   cmake -DOPENSSL=/usr/bin/openssl -DDIR=<build>/sandbox-pki -P KivsdkMakeSandboxPki.cmake
#
# Four CAs (universe-ca-1/2, world-ca-1/2) and the two bundles made of them;
# a rogue CA nobody trusts; ECDSA P-256 server certificates for "localhost",
# 127.0.0.1 and ::1 signed by universe CA 1 (plus an RSA-2048 one), by world
# CA 2 and by the rogue CA; one for "otherhost.test" only, signed by universe
# CA 1. Everything is valid for ten years from now.
#
# When every file exists nothing happens. Otherwise everything is made anew
# in a scratch folder and moved into place, so a set is never mixed from two
# runs (a server certificate always matches the CAs beside it).

cmake_minimum_required(VERSION 3.25)

if(NOT OPENSSL OR NOT DIR)
  message(FATAL_ERROR "usage: cmake -DOPENSSL=<openssl> -DDIR=<folder> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()

set(cas universe-ca-1 universe-ca-2 world-ca-1 world-ca-2 rogue-ca)
set(servers universe-server universe-server-rsa world-server rogue-server otherhost-server)
set(files universe-bundle.pem world-bundle.pem)
foreach(name IN LISTS cas servers)
  list(APPEND files ${name}.pem ${name}.key)
endforeach()

set(missing FALSE)
foreach(file IN LISTS files)
  if(NOT EXISTS "${DIR}/${file}")
    set(missing TRUE)
  endif()
endforeach()
if(NOT missing)
  return()
endif()

set(days 3650)
set(work "${DIR}/.scratch")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}")

file(WRITE "${work}/openssl.cnf" [=[
[req]
distinguished_name = dn
prompt = no

[dn]
CN = unused

[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[server_ec_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1

[server_rsa_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1

[otherhost_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:otherhost.test
]=])

function(run_openssl)
  execute_process(
    COMMAND "${OPENSSL}" ${ARGN}
    WORKING_DIRECTORY "${work}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    file(REMOVE_RECURSE "${work}")
    string(REPLACE ";" " " shown "${ARGN}")
    message(FATAL_ERROR "openssl ${shown} failed (${result}):\n${output}")
  endif()
endfunction()

function(make_key name algorithm)
  if(algorithm STREQUAL "rsa")
    run_openssl(genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out ${name}.key)
  else()
    run_openssl(genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ${name}.key)
  endif()
endfunction()

function(make_ca name common_name)
  make_key(${name} ec)
  run_openssl(req -config openssl.cnf -new -x509 -sha256 -days ${days}
    -key ${name}.key -subj "/O=KIVSDK sandbox/CN=${common_name}"
    -extensions ca_ext -out ${name}.pem)
endfunction()

# A random positive serial: certificates of different runs never share one.
function(make_server name algorithm ca common_name extensions)
  make_key(${name} ${algorithm})
  run_openssl(req -config openssl.cnf -new -sha256 -key ${name}.key
    -subj "/O=KIVSDK sandbox/CN=${common_name}" -out ${name}.csr)
  string(RANDOM LENGTH 15 ALPHABET 0123456789ABCDEF serial)
  run_openssl(x509 -req -sha256 -days ${days} -in ${name}.csr
    -CA ${ca}.pem -CAkey ${ca}.key -set_serial 0x1${serial}
    -extfile openssl.cnf -extensions ${extensions} -out ${name}.pem)
  file(REMOVE "${work}/${name}.csr")
endfunction()

make_ca(universe-ca-1 "KIVSDK sandbox universe CA 1")
make_ca(universe-ca-2 "KIVSDK sandbox universe CA 2")
make_ca(world-ca-1 "KIVSDK sandbox world CA 1")
make_ca(world-ca-2 "KIVSDK sandbox world CA 2")
make_ca(rogue-ca "KIVSDK sandbox rogue CA")

make_server(universe-server ec universe-ca-1 localhost server_ec_ext)
make_server(universe-server-rsa rsa universe-ca-1 localhost server_rsa_ext)
make_server(world-server ec world-ca-2 localhost server_ec_ext)
make_server(rogue-server ec rogue-ca localhost server_ec_ext)
make_server(otherhost-server ec universe-ca-1 otherhost.test otherhost_ext)

foreach(kind IN ITEMS universe world)
  file(READ "${work}/${kind}-ca-1.pem" first)
  file(READ "${work}/${kind}-ca-2.pem" second)
  file(WRITE "${work}/${kind}-bundle.pem" "${first}${second}")
endforeach()

# Keys are readable by their owner only.
foreach(file IN LISTS files)
  if(file MATCHES "\\.key$")
    file(CHMOD "${work}/${file}" PERMISSIONS OWNER_READ OWNER_WRITE)
  endif()
endforeach()

foreach(file IN LISTS files)
  file(RENAME "${work}/${file}" "${DIR}/${file}")
endforeach()
file(REMOVE_RECURSE "${work}")
