#!/usr/bin/env bash
# Shows tarvolex.jar at work on a virtual null-modem cable: a socat pty pair linked as COM3 and
# COM4 in a private port folder. Lists the ports, runs the self-test across the cable, and sends
# a few bytes each way. The library's trace lines (standard error) stay visible.
# Usage: scripts/demo.sh [path/to/tarvolex.jar]   (make demo builds the jar and runs this)
set -euo pipefail

jar=${1:-build/demo/java/tarvolex.jar}
if [ ! -f "$jar" ]; then
  echo "demo: $jar not found; run 'make demo'" >&2
  exit 1
fi
java=${JAVA:-java}

ports=$(mktemp -d "${TMPDIR:-/tmp}/tarvolex-demo.XXXXXX")
socat_pid=
receiver_pid=
cleanup() {
  for pid in $receiver_pid $socat_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$ports"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
tarvolex() {
  printf '$ java -jar tarvolex.jar %s\n' "$*"
  "$java" -jar "$jar" "$@"
}

step "A virtual null-modem cable: COM3 <-> COM4 in $ports"
socat pty,raw,echo=0,link="$ports/COM3" pty,raw,echo=0,link="$ports/COM4" &
socat_pid=$!
for _ in $(seq 100); do
  [ -e "$ports/COM3" ] && [ -e "$ports/COM4" ] && break
  kill -0 "$socat_pid" 2>/dev/null || { echo "demo: socat ended early" >&2; exit 1; }
  sleep 0.05
done
[ -e "$ports/COM4" ] || { echo "demo: socat did not link the ports" >&2; exit 1; }
export TARVOLEX_PORT_DIR=$ports

step "Where the native library comes from (extracted from the jar, checked by SHA-256)"
tarvolex version

step "The ports that can be opened"
tarvolex list

step "Self-test: 16384 pseudo-random bytes each way, every byte verified"
tarvolex selftest COM3 COM4

step "A short exchange: text from COM3 to COM4, then bytes in hex back"
received=$ports/received.txt
tarvolex receive COM4 -n 20 -s 10 -o "$received" &
receiver_pid=$!
tarvolex send COM3 "Hello from COM3 ..."$'\n'
wait "$receiver_pid"
receiver_pid=
printf 'COM4 received: %s\n' "$(cat "$received")"
tarvolex send COM4 -x "4f 4b 0d 0a"
tarvolex receive COM3 -n 4 -s 10 -x

step "Done (the cable and its folder are removed on exit)"
