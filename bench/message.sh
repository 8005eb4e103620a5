#!/usr/bin/env bash
# Message benchmark: requests per second through the library's message server
# (a launcher's vek_startMessageServer with one processor that answers each
# request with its payload), side by side with a minimal local-socket echo
# server in C that speaks the same wire format, on the same machine.
#
#   bash bench/message.sh [--clients N] [--requests N] [--payload BYTES] [--reps N]
#
# It builds VekUtil (RelWithDebInfo, as the presets ship) in build/bench-message,
# installs it into build/bench-message/prefix and builds the server against the
# installed package with pkg-config; the echo server and the load client are
# plain C. Each repetition (interleaved, after one untimed warm-up each) starts
# a fresh server, runs the client (N processes, each sending its requests one
# after another, one connection per request, as launcher tools do; every
# reply's payload is checked) and stops the server. It prints the median
# requests per second of both and the ratio library/echo.
set -euo pipefail

clients=8
requests=2000
payload=64
reps=5
while [ $# -gt 0 ]; do
  case "$1" in
    --clients) clients="$2"; shift 2 ;;
    --requests) requests="$2"; shift 2 ;;
    --payload) payload="$2"; shift 2 ;;
    --reps) reps="$2"; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "message.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done

repo=$(cd "$(dirname "$0")/.." && pwd)
src="$repo/bench/message"
build="$repo/build/bench-message"
work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "=== building VekUtil and the benchmark programs"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target VekUtil >/dev/null
cmake --install "$build" --prefix "$build/prefix" --component VekUtil >/dev/null
export PKG_CONFIG_PATH="$build/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
cc -O2 -std=c11 -o "$work/message_server" "$src/message_server.c" $(pkg-config --cflags --libs vekutil)
cc -O2 -o "$work/echo_server" "$src/echo_server.c"
cc -O2 -o "$work/client" "$src/client.c"

# Runs one server, the client against it, and stops the server; prints the
# client's requests per second.
measure() {
  local server="$1" path="$work/bench.msg"
  rm -f "$path"
  mkfifo "$work/stdin"
  "$work/$server" "$path" <"$work/stdin" >"$work/ready" &
  server_pid=$!
  exec 3>"$work/stdin"
  rm -f "$work/stdin"
  for _ in $(seq 100); do grep -q ready "$work/ready" 2>/dev/null && break; sleep 0.05; done
  "$work/client" "$path" "$clients" "$requests" "$payload"
  exec 3>&-  # the library's server ends when its standard input closes
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "=== $clients clients x $requests requests, $payload-byte payload, $reps repetitions (load $(cut -d' ' -f1-3 /proc/loadavg))"
measure message_server >/dev/null
measure echo_server >/dev/null
: >"$work/vek.txt"
: >"$work/echo.txt"
for rep in $(seq "$reps"); do
  v=$(measure message_server)
  e=$(measure echo_server)
  echo "rep $rep: library $v/s, echo $e/s"
  echo "$v" >>"$work/vek.txt"
  echo "$e" >>"$work/echo.txt"
done
v=$(median <"$work/vek.txt")
e=$(median <"$work/echo.txt")
echo
printf '%-40s %12s\n' "median requests per second" ""
printf '%-40s %12.0f\n' "library message server (vek)" "$v"
printf '%-40s %12.0f\n' "minimal C echo server (echo)" "$e"
awk -v v="$v" -v e="$e" 'BEGIN { printf "%-40s %12.2f\n", "ratio vek/echo", v / e }'
