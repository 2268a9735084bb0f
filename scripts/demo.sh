#!/usr/bin/env bash
# The whole road of a region lookup on this machine: installs what is missing,
# builds, starts the local gateway on a free loopback port with freshly
# generated TLS material, looks a region up by e-mail and by phone number with
# the `iotcloud` tool (TLS verified against the generated CA), then shows a new
# process restoring the region from the cache, and stops the gateway.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

echo "== building (log: build/demo-build.log)"
mkdir -p "$root/build"
dir=$("$root/scripts/build.sh" --target=iotcloud_cli --target=iotcloud-gateway-sim \
  2>"$root/build/demo-build.log" | tail -n 1) || {
  tail -n 40 "$root/build/demo-build.log"
  exit 1
}
gateway_bin="$dir/tools/gateway-sim/iotcloud-gateway-sim"
cli_bin="$dir/tools/cli/iotcloud"

work=$(mktemp -d)
gateway_pid=""
cleanup() {
  if [ -n "$gateway_pid" ] && kill -0 "$gateway_pid" 2>/dev/null; then
    kill "$gateway_pid" 2>/dev/null || true
    wait "$gateway_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

app_key=demo-app-key
printf 'demo-app-secret\n' >"$work/secret"
chmod 600 "$work/secret"

echo "== starting the local gateway"
"$gateway_bin" --port 0 --tls-dir "$work/tls" --port-file "$work/port" \
  --app "$app_key:$(cat "$work/secret")" >"$work/gateway.out" 2>"$work/gateway.log" &
gateway_pid=$!
for _ in $(seq 1 100); do
  [ -s "$work/port" ] && break
  kill -0 "$gateway_pid" 2>/dev/null || { cat "$work/gateway.log"; exit 1; }
  sleep 0.1
done
[ -s "$work/port" ] || { echo "the gateway did not start" >&2; cat "$work/gateway.log"; exit 1; }
port=$(cat "$work/port")
echo "   listening on https://127.0.0.1:$port, CA in $work/tls/ca.pem"

cli=("$cli_bin" --gateway "127.0.0.1:$port" --ca-file "$work/tls/ca.pem"
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
sed 's/^/   /' "$work/gateway.log"
