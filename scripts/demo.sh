#!/usr/bin/env bash
# The whole road of a region lookup on this machine: installs what is missing,
# builds, starts the local gateway on a free loopback port with freshly
# generated TLS material, looks a region up by e-mail and by phone number with
# the `iotcloud` tool (TLS verified against the generated CA), then shows a new
# process restoring the region from the cache; then a second gateway whose
# clock is an hour ahead, which the lookup recovers from, and stops both.
#   ./scripts/demo.sh             on this machine
#   ./scripts/demo.sh --windows   the same with the Windows build under wine
#                                 (scripts/windows-deps.sh first; cached)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
windows=false
if [ "${1:-}" = "--windows" ]; then windows=true; fi

echo "== building (log: build/demo-build.log)"
mkdir -p "$root/build"
if $windows; then
  {
    prefix=$("$root/scripts/windows-deps.sh" | tail -n 1) &&
      dir="$root/build/windows" &&
      cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DIOTCLOUD_WINDOWS_DEPS="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIOTCLOUD_WERROR=ON \
        -DIOTCLOUD_BUILD_BENCH=OFF -DIOTCLOUD_INSTALL=OFF &&
      cmake --build "$dir" -j"$(nproc)" --target iotcloud_cli --target iotcloud-gateway-sim
  } >"$root/build/demo-build.log" 2>&1 || {
    tail -n 40 "$root/build/demo-build.log"
    exit 1
  }
  wine=/usr/lib/wine/wine64
  export WINEPREFIX="$(mktemp -d)/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEPATH="Z:${prefix//\//\\}\\bin;Z:${dir//\//\\}"
  "$wine" wineboot --init >/dev/null 2>&1 || true
  gateway_bin=("$wine" "$dir/tools/gateway-sim/iotcloud-gateway-sim.exe")
  cli_bin=("$wine" "$dir/tools/cli/iotcloud.exe")
  echo "   Windows programs under wine (prefix $WINEPREFIX)"
else
  dir=$("$root/scripts/build.sh" --target=iotcloud_cli --target=iotcloud-gateway-sim \
    2>"$root/build/demo-build.log" | tail -n 1) || {
    tail -n 40 "$root/build/demo-build.log"
    exit 1
  }
  gateway_bin=("$dir/tools/gateway-sim/iotcloud-gateway-sim")
  cli_bin=("$dir/tools/cli/iotcloud")
fi

work=$(mktemp -d)
gateway_pids=()
cleanup() {
  for pid in "${gateway_pids[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
  if $windows; then
    "$(dirname "$wine")/wineserver64" -k 2>/dev/null || true
    rm -rf "$(dirname "$WINEPREFIX")"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

app_key=demo-app-key
printf 'demo-app-secret\n' >"$work/secret"
chmod 600 "$work/secret"

# start_gateway NAME [OPTION...]: starts a gateway with its TLS material in
# $work/NAME and sets $port to the port it listens on.
start_gateway() {
  local name=$1
  shift
  "${gateway_bin[@]}" --port 0 --tls-dir "$work/$name" --port-file "$work/$name.port" \
    --app "$app_key:$(cat "$work/secret")" "$@" >"$work/$name.out" 2>"$work/$name.log" &
  local pid=$!
  gateway_pids+=("$pid")
  for _ in $(seq 1 100); do
    [ -s "$work/$name.port" ] && break
    kill -0 "$pid" 2>/dev/null || { cat "$work/$name.log"; exit 1; }
    sleep 0.1
  done
  [ -s "$work/$name.port" ] || { echo "the gateway did not start" >&2; cat "$work/$name.log"; exit 1; }
  port=$(cat "$work/$name.port")
}

echo "== starting the local gateway"
start_gateway tls
echo "   listening on https://127.0.0.1:$port, CA in $work/tls/ca.pem"

cli=("${cli_bin[@]}" --gateway "127.0.0.1:$port" --ca-file "$work/tls/ca.pem"
     --cache "$work/cache.db" --app-key "$app_key" --app-secret-file "$work/secret")

run() {
  echo
  echo "\$ iotcloud $*"
  "${cli[@]}" "$@"
}

run region show
run region lookup --email alice@example.de
run region lookup --phone 91234567 --location-code 65
run region lookup --phone 91234567 --location-code 65
echo
echo "== a new process restores the region from the cache"
run region show

echo
echo "== what the gateway saw"
sed 's/^/   /' "$work/tls.log"

echo
echo "== a gateway whose clock is an hour ahead of this computer's"
echo "   The first request is refused for its date; the library learns the"
echo "   gateway's time from the refusal's Date header and sends it again, dated by it."
start_gateway ahead --clock-offset 3600
cli=("${cli_bin[@]}" --gateway "127.0.0.1:$port" --ca-file "$work/ahead/ca.pem"
     --cache "$work/ahead-cache.db" --app-key "$app_key" --app-secret-file "$work/secret")
run region lookup --email bob@example.com
