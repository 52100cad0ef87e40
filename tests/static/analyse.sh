#!/usr/bin/env bash
# Static analysis of the probe and the socket layer: zero findings, or the test fails.
# Exits 77 (skipped) where the tool is absent.
#   analyse.sh clang-tidy BUILD_DIR SOURCE_DIR | analyse.sh cppcheck SOURCE_DIR
set -euo pipefail
tool=$1
case "$tool" in
clang-tidy)
    build=$2 source=$3
    command -v clang-tidy >/dev/null || { echo "skipped: clang-tidy is not installed"; exit 77; }
    cd "$source"
    clang-tidy --quiet -p "$build" test.cpp winsock/src/*.cpp
    ;;
cppcheck)
    source=$2
    command -v cppcheck >/dev/null || { echo "skipped: cppcheck is not installed"; exit 77; }
    cd "$source"
    cppcheck --enable=warning,performance,portability --inline-suppr --error-exitcode=1 --quiet --std=c++17 \
        -I winsock/include test.cpp winsock/src
    ;;
*)
    echo "unknown tool $tool" >&2
    exit 2
    ;;
esac
echo "$tool: no findings"
