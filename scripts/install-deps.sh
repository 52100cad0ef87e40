#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, where missing.
set -euo pipefail
packages=(cmake g++ make libgtest-dev g++-mingw-w64-x86-64-posix iproute2 util-linux strace valgrind time
          clang-tidy cppcheck)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    echo "not root and no sudo: install them by hand; tests that need them report themselves skipped" >&2
    exit 0
fi
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
