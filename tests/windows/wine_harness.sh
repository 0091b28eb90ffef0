#!/usr/bin/env bash
# Runs the x86_64 harness under wine64 in a private Wine prefix, once per scenario, with that
# scenario's COM ports linked in the prefix's dosdevices folder to socat ptys. Only those links
# are COM ports there: Wine's mount manager, which would map COM1.. to the machine's own
# /dev/ttyS*, is disabled.
# usage: wine_harness.sh <wine64> <tarvolex_harness.exe> <Tarvolex.dll> <prefix folder>
set -uo pipefail
wine=$1 harness=$2 dll=$3 prefix=$(realpath -m "$4")
socat=${TARVOLEX_SOCAT:-socat}
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

for file in "harness:$harness" "DLL:$dll"; do
  if [ -z "${file#*:}" ] || [ ! -f "${file#*:}" ]; then
    echo "FAIL: no x86_64 ${file%%:*} at '${file#*:}':" \
      "build the mingw-x86_64 preset first (make build-windows; the linux preset names the paths)"
    exit 1
  fi
done

export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all DISPLAY=
# mscoree and mshtml off: a new prefix would otherwise try to install Mono and Gecko.
export WINEDLLOVERRIDES='mountmgr.sys=d;mscoree,mshtml='

dos=$prefix/dosdevices
far=$prefix/far-ends
socat_pids=()

stop_cables() {
  # The wineserver goes first: it opened the ptys itself and, as a session leader, took one as
  # its controlling terminal, so a cable pulled under it would send it SIGHUP (and its dump of
  # every object to the test's output).
  "$wineserver" -k 2>/dev/null
  if [ ${#socat_pids[@]} -gt 0 ]; then
    kill "${socat_pids[@]}" 2>/dev/null
    wait "${socat_pids[@]}" 2>/dev/null
  fi
  socat_pids=()
  # Any COM link, whoever made it, so that each scenario starts with no port at all.
  find "$dos" "$far" -maxdepth 1 -iname 'com*' -exec rm -f {} + 2>/dev/null
}

trap stop_cables EXIT

# A socat pty pair whose ends are linked at the two paths (a null-modem cable). The time limit
# only keeps socat from outliving a killed test.
cable() {
  timeout 900 "$socat" "pty,raw,echo=0,link=$1" "pty,raw,echo=0,link=$2" &
  socat_pids+=($!)
  for _ in $(seq 100); do
    [ -L "$1" ] && [ -L "$2" ] && return 0
    sleep 0.1
  done
  echo "FAIL: socat did not link $1 and $2"
  return 1
}

# The prefix is made once and kept in the build tree; a marker tells a complete one from one
# whose creation was cut short.
if [ ! -f "$prefix/.tarvolex-ready" ]; then
  echo "wine_harness: creating the Wine prefix $prefix"
  "$wineserver" -k 2>/dev/null
  rm -rf "$prefix"
  mkdir -p "$prefix"
  timeout 500 "$wine" wineboot --init >/dev/null 2>&1
  timeout 60 "$wineserver" -w
  if [ ! -f "$prefix/system.reg" ] || [ ! -d "$dos" ]; then
    echo "FAIL: wineboot did not create the prefix $prefix"
    exit 1
  fi
  touch "$prefix/.tarvolex-ready"
fi
mkdir -p "$far"
stop_cables

# The DLL as Wine names it: drive Z: is the Unix root.
windows_dll="Z:$(realpath "$dll" | tr / '\\')"
failed=()

scenario() {
  for link in "$dos"/com*; do
    [ -e "$link" ] || [ -L "$link" ] || continue
    case $(readlink -f "$link") in
      /dev/pts/*) ;;
      *) echo "FAIL: $link does not lead to a pty"; failed+=("$1"); return ;;
    esac
  done
  echo "== scenario $1: $(cd "$dos" && ls -d com* 2>/dev/null | tr '\n' ' ')"
  timeout 300 "$wine" "$harness" "$windows_dll" "$1" || failed+=("$1")
}

scenario none

if cable "$dos/com1" "$far/com1" && cable "$dos/com3" "$far/com3" &&
  cable "$dos/com41" "$far/com41"; then
  scenario ports
else
  failed+=(ports)
fi
stop_cables

if cable "$dos/com3" "$dos/com4"; then
  scenario cable
else
  failed+=(cable)
fi
stop_cables

if [ ${#failed[@]} -ne 0 ]; then
  echo "wine_harness: failed scenarios: ${failed[*]}"
  exit 1
fi
echo "wine_harness: every scenario passed"
