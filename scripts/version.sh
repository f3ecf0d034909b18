#!/usr/bin/env bash
# Prints the loader's version as project() in the top CMakeLists.txt sets it,
# for the scripts that name their packages after it.
set -euo pipefail
version=$(sed -n 's/^project(zevuvuri VERSION \([0-9.]*\)[ )].*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
[ -n "$version" ] || { echo "version.sh: no project(zevuvuri VERSION ...) in CMakeLists.txt" >&2; exit 1; }
echo "$version"
