#!/usr/bin/env bash
# Installs the Debian packages that a make target needs and that are missing.
# Usage: scripts/install-deps.sh demo|test|bench
# As root it runs apt-get; otherwise it prints the command to run and fails.
set -euo pipefail

base=(make cmake g++ openjdk-17-jdk-headless socat)
case "${1:-test}" in
  demo) wanted=("${base[@]}") ;;
  test) wanted=("${base[@]}" clang-format libgtest-dev junit5 g++-mingw-w64-i686 g++-mingw-w64-x86-64
                wine64 clang libclang-rt-14-dev) ;;
  bench) wanted=("${base[@]}" libbenchmark-dev gcc) ;;
  *) echo "usage: $0 demo|test|bench" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

command="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them as root with:" >&2
  echo "  sudo sh -c '$command'" >&2
  exit 1
fi
echo "Installing missing Debian packages: ${missing[*]}"
sh -c "$command"
