#!/usr/bin/env bash
# Installs the Debian packages a lane needs. Without options: what the
# library, the tools, the examples and the tests build with (enough for the
# demo). Each lane script adds its own extras:
#   --proxy    what the test suite starts or preloads: tinyproxy (the proxy
#              tests) and nginx-light (an HTTP/2 TLS front) on loopback,
#              neither package's system service used; libfaketime (the
#              clock-jump test moves its own wall clock) (scripts/test.sh)
#   --lint     clang-tidy and clang-format (scripts/tidy.sh)
#   --clang    the clang compiler (scripts/libcxx-test.sh)
#   --fuzz     clang with its sanitizer and libFuzzer runtime (scripts/fuzz.sh)
#   --package  dpkg-shlibdeps for the .deb's dependencies (scripts/package.sh)
# Idempotent: packages already present are left alone, and apt-get runs only
# when something is missing.
#   scripts/install-deps.sh [--proxy] [--lint] [--clang] [--fuzz] [--package]
set -euo pipefail

packages=(
  build-essential cmake pkg-config g++
  libcurl4-openssl-dev libssl-dev openssl ca-certificates
  libcjson-dev libsqlite3-dev
  libcpp-httplib-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
)
for arg in "$@"; do
  case "$arg" in
    --proxy) packages+=(tinyproxy nginx-light libfaketime) ;;
    --lint) packages+=(clang-tidy clang-format) ;;
    --clang) packages+=(clang) ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    --package) packages+=(dpkg-dev) ;;
    *) echo "install-deps: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# A server package would start its service where the system runs services;
# the tests start their own instances, so the packaged ones stay down.
if [[ " ${missing[*]} " == *" tinyproxy "* || " ${missing[*]} " == *" nginx-light "* ]] && [ ! -e /usr/sbin/policy-rc.d ]; then
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod 755 /usr/sbin/policy-rc.d
fi
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
