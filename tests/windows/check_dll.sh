#!/usr/bin/env bash
# Checks a Tarvolex.dll as the JVM and Windows will see it, without running it: the machine
# type, exactly the six JNI exports under their undecorated names, no JNI_OnLoad, and imports
# from KERNEL32.dll and msvcrt.dll only (the MinGW runtime is linked in statically).
# usage: check_dll.sh <objdump> <Tarvolex.dll> i686|x86_64
set -uo pipefail
objdump=$1 dll=$2 arch=$3

if [ -z "$dll" ] || [ ! -f "$dll" ]; then
  echo "FAIL: no DLL at '${dll}': build the mingw-$arch preset first (make build-windows)"
  exit 1
fi

case "$arch" in
  i686) format=pei-i386 architecture=i386 magic=010b kind=PE32 ;;
  x86_64) format=pei-x86-64 architecture=i386:x86-64 magic=020b kind=PE32+ ;;
  *) echo "usage: $0 <objdump> <dll> i686|x86_64" >&2; exit 2 ;;
esac

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

header=$("$objdump" -f "$dll") || { echo "FAIL: $objdump cannot read $dll"; exit 1; }
private=$("$objdump" -p "$dll") || { echo "FAIL: $objdump -p cannot read $dll"; exit 1; }

grep -q "file format $format\$" <<<"$header" || fail "not $format: $(grep 'file format' <<<"$header")"
grep -q "^architecture: $architecture," <<<"$header" ||
  fail "not $architecture: $(grep '^architecture' <<<"$header")"
magic_line=$(grep '^Magic' <<<"$private" | tr -s '[:space:]' ' ' | sed 's/ $//')
[ "$magic_line" = "Magic $magic ($kind)" ] || fail "not $kind: $magic_line"

# The names of the export table: the lines after "[Ordinal/Name Pointer] Table" up to a blank one.
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
               on && NF == 0 {on = 0}
               on {print $NF}' <<<"$private" | sort)
expected=$(printf '%s\n' \
  Java_com_vembor_tarvolex_Tarvolex_doClose \
  Java_com_vembor_tarvolex_Tarvolex_doOpen \
  Java_com_vembor_tarvolex_Tarvolex_doRead \
  Java_com_vembor_tarvolex_Tarvolex_doWrite__IB \
  Java_com_vembor_tarvolex_Tarvolex_doWrite__I_3BII \
  Java_com_vembor_tarvolex_Tarvolex_listPorts | sort)
if [ "$exports" != "$expected" ]; then
  fail "exports are not exactly the six JNI names:"
  diff <(echo "$expected") <(echo "$exports") | sed -n 's/^[<>]/  &/p'
fi
grep -q '@' <<<"$exports" && fail "decorated (stdcall) export names: $(grep '@' <<<"$exports" | tr '\n' ' ')"
grep -q 'JNI_OnLoad' <<<"$exports" && fail "exports JNI_OnLoad"

imports=$(awk '/DLL Name:/ {print $NF}' <<<"$private" | sort -uf)
while read -r dll_name; do
  case "${dll_name,,}" in
    kernel32.dll | msvcrt.dll) ;;
    *) fail "imports from $dll_name" ;;
  esac
done <<<"$imports"
grep -qix 'kernel32.dll' <<<"$imports" || fail "imports nothing from KERNEL32.dll"

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "OK: $dll is $format ($kind), exports the six JNI names, imports $(echo $imports)"
