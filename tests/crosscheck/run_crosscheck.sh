#!/usr/bin/env bash
# Runs examples/caller.exe against trustlist.dll under Wine and reads the
# containers it leaves with read_container.py, a reader that shares no code
# with the library.
# Usage: run_crosscheck.sh WINE_RUN TRUSTLIST_DLL CALLER_EXE
set -euo pipefail
wine_run=$1 dll=$2 caller=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
winpath() { echo "Z:${1//\//\\}"; }
# Windows programs write to files, never to a pipe (see scripts/wine-env).
run() { "$wine_run" "$@" </dev/null >"$work/out.txt" 2>&1 || { cat "$work/out.txt"; exit 1; }; }

cp "$dll" "$caller" "$work/"
head -c 5000 /dev/urandom >"$work/small.bin"   # sampled whole, no PE header
head -c 300000 /dev/urandom >"$work/large.bin" # first and last 4 KiB
programs=("$work/$(basename "$dll")" "$work/$(basename "$caller")" "$work/small.bin" "$work/large.bin")
args=()
for p in "${programs[@]}"; do args+=("$(winpath "$p")"); done

run "$work/$(basename "$caller")" "$(winpath "$work/$(basename "$dll")")" -f "${args[@]}"
python3 "$here/read_container.py" "$work/TrustCustom.mnf" ProgramList programs "${programs[@]}"

printf '2000 1234abcd\n0x10 0X20 third\n  5   6\n1 2\n2000 1234abcd\nab\n7\tnot-a-pair\n' >"$work/list.txt"
run "$work/$(basename "$caller")" "$(winpath "$work/$(basename "$dll")")" -i "$(winpath "$work/list.txt")"
python3 "$here/read_container.py" "$work/TrustCustom.mnf" ProgramList hashlist "$work/list.txt"
