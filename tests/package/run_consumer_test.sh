#!/usr/bin/env bash
# The release as a product team gets it: installs the windows build into a
# fresh prefix, checks the tree (files, stripped binaries, debug links, PDBs
# that match the binaries, in debug/ and in symbol-store layout), signs a
# package made by scripts/package with a throw-away certificate authority and
# verifies it, builds
# consumer/ against it with find_package, checks that its programs (and a probe
# linked by lld-link against trustlist.lib) import the entry points by ordinal,
# runs them under Wine against the installed DLL and reads the containers they
# leave with the independent reader.
# Usage: run_consumer_test.sh WINDOWS_BUILD_DIR
# A Wine server for the build's prefix should be running (scripts/test starts
# one); without it each Wine start takes seconds.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work="$build/package-test"
objdump=x86_64-w64-mingw32-objdump
reader="$root/tests/crosscheck/read_container.py"
winpath() { echo "Z:${1//\//\\}"; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $build/CMakeCache.txt"; exit 1; }

rm -rf "$work"
mkdir -p "$work"
echo "-- install ($version) into $work/install"
cmake --install "$build" --prefix "$work/install" >"$work/install.log"
python3 "$here/check_package.py" "$objdump" tree "$work/install"
python3 "$here/check_package.py" "$objdump" pdb "$work/install" llvm-pdbutil "$root"
# A tree without a DLL trustctl.exe needs fails the check, for that DLL and for
# the import that no longer finds it.
cp -r "$work/install" "$work/no-gcrypt"
rm "$work/no-gcrypt/bin/libgpg-error-0.dll"
if out=$(python3 "$here/check_package.py" "$objdump" tree "$work/no-gcrypt"); then
  echo "$out"; echo "a package without libgpg-error-0.dll passes the check"; exit 1
fi
grep -q '^problem: missing: bin/libgpg-error-0.dll$' <<<"$out" &&
  grep -q '^problem: bin/libgcrypt-20.dll imports libgpg-error-0.dll, which the package' <<<"$out" ||
  { echo "$out"; echo "the check does not name the missing DLL and its importer"; exit 1; }
rm -rf "$work/no-gcrypt"

# Signing: a root, an intermediate and a code-signing certificate made here.
# Each PE file of the signed zip verifies against the root alone, which needs
# the intermediate inside the signature; one byte changed after signing fails.
[ "$build" = "$root/build/windows" ] ||
  { echo "scripts/package packs $root/build/windows, not $build"; exit 1; }
ca="$work/ca"
mkdir -p "$ca"
export TRUSTLIST_SIGN_PASSWORD="throw-away $$"
cert() {  # name, subject, issuer name (none: self-signed), extensions
  openssl req -new -newkey rsa:2048 -nodes -keyout "$ca/$1.key" -subj "/CN=$2" \
    -out "$ca/$1.csr" 2>/dev/null
  if [ -z "$3" ]; then
    openssl x509 -req -in "$ca/$1.csr" -signkey "$ca/$1.key" -days 2 -out "$ca/$1.pem" \
      -extfile <(printf '%b' "$4") 2>/dev/null
  else
    openssl x509 -req -in "$ca/$1.csr" -CA "$ca/$3.pem" -CAkey "$ca/$3.key" -CAcreateserial \
      -days 2 -out "$ca/$1.pem" -extfile <(printf '%b' "$4") 2>/dev/null
  fi
}
authority='basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n'
cert root "trustlist test root" "" "$authority"
cert mid "trustlist test intermediate" root "$authority"
cert signer "trustlist test signer" mid \
  'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n'
openssl pkcs12 -export -inkey "$ca/signer.key" -in "$ca/signer.pem" -certfile "$ca/mid.pem" \
  -out "$ca/signer.pfx" -passout env:TRUSTLIST_SIGN_PASSWORD
TL_PACKAGE_OUT="$work/signed" TL_PACKAGE_PRESETS=windows "$root/scripts/package" \
  --sign "$ca/signer.pfx" >"$work/package.log" 2>&1 ||
  { tail -n 40 "$work/package.log"; echo "scripts/package --sign failed"; exit 1; }
unset TRUSTLIST_SIGN_PASSWORD
mkdir -p "$work/signed/unpacked"
(cd "$work/signed/unpacked" && cmake -E tar xf "$work/signed/trustlist-$version-win64.zip")
signed="$work/signed/unpacked/trustlist-$version-win64"
# Signing leaves the debug links and CodeView records as they were.
python3 "$here/check_package.py" "$objdump" tree "$signed"
python3 "$here/check_package.py" "$objdump" pdb "$signed" llvm-pdbutil "$root"
verify() { osslsigncode verify -CAfile "$ca/root.pem" -in "$1" 2>&1; }
pe_files=("$signed"/bin/*.dll "$signed"/bin/*.exe)
[ ${#pe_files[@]} -eq 5 ] || { echo "signed zip holds ${#pe_files[@]} PE files"; exit 1; }
for f in "${pe_files[@]}"; do
  out=$(verify "$f") || { echo "$out"; echo "$(basename "$f"): signature does not verify"; exit 1; }
  grep -qi 'digest algorithm *: *sha256' <<<"$out" ||
    { echo "$out"; echo "$(basename "$f"): not signed with SHA-256"; exit 1; }
done
tampered="$work/signed/tampered.dll"
cp "$signed/bin/trustlist.dll" "$tampered"
size=$(stat -c %s "$tampered")
printf '\x5a' | dd of="$tampered" bs=1 seek=$((size / 2)) conv=notrunc status=none
cmp -s "$tampered" "$signed/bin/trustlist.dll" && printf '\xa5' |
  dd of="$tampered" bs=1 seek=$((size / 2)) conv=notrunc status=none
if out=$(verify "$tampered"); then
  echo "$out"; echo "a file changed after signing still verifies"; exit 1
fi
echo "signing: ok"

echo "-- consumer project"
cmake -S "$here/consumer" -B "$work/consumer" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_PREFIX_PATH="$work/install" -DTL_EXPECTED_VERSION="$version" >"$work/configure.log"
cmake --build "$work/consumer" -j 2 >"$work/build.log"
python3 "$here/check_package.py" "$objdump" imports \
  "$work/consumer/consumer.exe" "$work/consumer/consumer_lib.exe"

# gdb finds trustlist.dll's symbols through its debug link, in the two places
# the README names (beside the binary, a .debug folder there), and the
# stripped DLL alone has none.
symbols() {  # $1: folder holding trustlist.dll
  timeout 120 gdb -nx -batch -ex 'info line SelectTarget' "$1/trustlist.dll" 2>&1 </dev/null
}
g="$work/gdb"
mkdir -p "$g/beside" "$g/subfolder/.debug" "$g/none"
cp "$work/install/bin/trustlist.dll" "$g/none/"
cp "$work/install/bin/trustlist.dll" "$work/install/debug/trustlist.dll.debug" "$g/beside/"
cp "$work/install/bin/trustlist.dll" "$g/subfolder/"
cp "$work/install/debug/trustlist.dll.debug" "$g/subfolder/.debug/"
for place in beside subfolder; do
  out=$(symbols "$g/$place") || true
  grep -q 'of ".*exports\.cpp"' <<<"$out" ||
    { echo "gdb does not find the debug file $place:"; echo "$out"; exit 1; }
done
out=$(symbols "$g/none") || true
grep -q 'No symbol table' <<<"$out" ||
  { echo "the stripped trustlist.dll alone gives gdb:"; echo "$out"; exit 1; }
echo "symbols: ok"

# trustlist.lib through an MSVC-style linker: clang for the MSVC target and
# lld-link, with no C runtime (the probe is never run).
clang --target=x86_64-pc-windows-msvc -I"$work/install/include" -c "$here/msvc_probe.c" \
  -o "$work/msvc_probe.obj"
lld-link /nologo /nodefaultlib /entry:ProbeEntry /subsystem:console "$work/msvc_probe.obj" \
  "$work/install/lib/trustlist.lib" /out:"$work/msvc_probe.exe"
python3 "$here/check_package.py" "$objdump" imports "$work/msvc_probe.exe"

# Programs to describe: files of the installed tree (two PE files with a link
# time stamp, one without); a hash list with a line that is not a pair.
programs=("$work/install/bin/trustlist.dll" "$work/install/bin/VeltrixClt.dll"
          "$work/install/include/trustlist/trustlist.h")
printf '2000 1234abcd\nnot-a-pair\n10 20\n2000 1234abcd\n7 8\n' >"$work/hashlist.txt"
args=()
for p in "${programs[@]}"; do args+=("$(winpath "$p")"); done
export WINEPATH
WINEPATH=$(winpath "$work/install/bin")
for exe in consumer consumer_lib; do
  echo "-- $exe.exe under Wine, trustlist.dll from the installed bin/"
  run="$work/run-$exe"
  mkdir -p "$run"
  cp "$work/consumer/$exe.exe" "$run/"
  # Output to a file, never a pipe that Wine's helper processes would hold.
  status=0
  timeout 300 "$root/cmake/wine-run" "$run/$exe.exe" "$(winpath "$work/hashlist.txt")" "${args[@]}" \
    </dev/null >"$run/out.raw" 2>&1 || status=$?
  tr -d '\r' <"$run/out.raw" >"$run/out.txt"
  cat "$run/out.txt"
  [ $status -eq 0 ] || { echo "$exe.exe: exit status $status"; exit 1; }
  grep -q '^ImportBlockList(.*) -> 3$' "$run/out.txt" ||
    { echo "$exe.exe: ImportBlockList did not store the 3 distinct pairs"; exit 1; }
  python3 "$reader" "$run/TrustCustom.mnf" ProgramList programs "${programs[@]}"
  python3 "$reader" "$run/TrustCustom.mnf" BlockList hashlist "$work/hashlist.txt"
done
# The installed trustctl.exe, with the libgcrypt DLLs the package places beside
# it, applies the fleet example's signed list and refuses it changed.
echo "-- the installed trustctl.exe applies a signed list under Wine"
run="$work/run-signed"
mkdir -p "$run"
cp "$root/examples/fleet/programs.jsonl" "$root/examples/fleet/programs.jsonl.sig" \
  "$root/examples/fleet/allowed_signers" "$run/"
signed_apply() {
  local status=0
  timeout 300 "$root/cmake/wine-run" "$work/install/bin/trustctl.exe" apply --json \
    --allowed-signers "$(winpath "$run/allowed_signers")" "$(winpath "$run/T.mnf")" \
    "$(winpath "$run/programs.jsonl")" </dev/null >"$run/out.raw" 2>"$run/err.raw" || status=$?
  tr -d '\r' <"$run/out.raw" >"$run/out.txt"
  return $status
}
signed_apply || { cat "$run/out.txt" "$run/err.raw"; echo "the signed list was not applied"; exit 1; }
grep -q '"signed_by": "lists@example.org"' "$run/out.txt" ||
  { cat "$run/out.txt"; echo "the signer is not named"; exit 1; }
applied=$(sha256sum <"$run/T.mnf")
printf '\n' >>"$run/programs.jsonl"
status=0
signed_apply || status=$?
[ $status -eq 2 ] && grep -q '"error": "signature"' "$run/out.txt" ||
  { cat "$run/out.txt"; echo "a changed list was not refused (exit $status)"; exit 1; }
[ "$(sha256sum <"$run/T.mnf")" = "$applied" ] || { echo "a refused list changed the container"; exit 1; }
[ -z "$(ls "$work/install/bin" | grep -iv -e '^trustlist.dll$' -e '^VeltrixClt.dll$' -e '^trustctl.exe$' \
        -e '^libgcrypt-20.dll$' -e '^libgpg-error-0.dll$')" ] ||
  { echo "the runs wrote into the installed bin/"; exit 1; }
echo "package consumer test: ok"
