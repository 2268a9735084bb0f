#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the tools and the
# sanitizer/fuzz lanes need (tinyproxy: the proxy tests start their own on
# loopback; the package's system service is not used; libfaketime: the
# clock-jump test moves its own process's wall clock with it). Idempotent:
# packages already present are left alone, and apt-get runs only when
# something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config g++ clang libclang-rt-14-dev clang-tidy clang-format
  libcurl4-openssl-dev libssl-dev openssl ca-certificates
  libcjson-dev libsqlite3-dev
  libcpp-httplib-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  tinyproxy libfaketime
)

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
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
