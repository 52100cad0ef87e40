#!/usr/bin/env bash
# Builds the probe for Windows against the platform's own Windows Sockets headers and
# ws2_32, warnings as errors. Exits 77 (skipped) where the cross-compiler is absent.
set -euo pipefail
source_file=$1
compiler=$(command -v x86_64-w64-mingw32-g++-posix || command -v x86_64-w64-mingw32-g++ || true)
if [ -z "$compiler" ]; then
    echo "skipped: no x86_64-w64-mingw32 cross-compiler (Debian package g++-mingw-w64-x86-64-posix)"
    exit 77
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$compiler" -std=c++17 -Wall -Wextra -Wpedantic -Werror -O2 -o "$out/probe.exe" "$source_file" -lws2_32
if [ "$(head -c 2 "$out/probe.exe")" != "MZ" ]; then
    echo "not a Windows executable: $out/probe.exe"
    exit 1
fi
echo "built a Windows executable from $source_file with $compiler"
