#!/bin/sh
# Runs every benchmark program built from bench/ and prints its figures.
# usage: sh bench/run.sh BUILD_DIR
build=${1:-build}
status=0
for src in "$(dirname "$0")"/*.cpp; do
    name=$(basename "$src" .cpp)
    prog="$build/bench/$name"
    if [ -x "$prog" ]; then
        echo "== $name"
        "$prog" || status=1
    else
        echo "== $name: not built" >&2
        status=1
    fi
done
exit $status
