#!/usr/bin/env bash
# scripts/check-layers: the real tree passes, and each kind of include that
# breaks the layering, planted alone into a small tree of its own, fails the
# check and is named with its file and line; includes the layering allows pass.
# trustctl's folders are layers too: commands -> edit -> view -> sign -> io -> platform.
set -uo pipefail
check="$1/scripts/check-layers"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

"$check" "$1" >/dev/null || fail "the source tree itself breaks the layering"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# file | line | expected: ok or bad
cases=(
  'src/common/a.h|#include "common/le.h"|ok'
  'src/common/a.h|#include "platform/file.h"|bad'
  'src/platform/a.cpp|#include "blocklist/block_header.h"|bad'
  'src/fingerprint/a.cpp|#include "platform/file.h"|ok'
  'src/fingerprint/a.cpp|#include "minifile/header.h"|bad'
  'src/minifile/a.cpp|#include "entry/list_payload.h"|bad'
  'src/blocklist/a.h|  #  include "fingerprint/file_fingerprint.h"|bad'
  'src/entry/a.cpp|#include "minifile/minifile.h"|ok'
  'src/entry/win32/a.cpp|#include <windows.h>|ok'
  'src/entry/a.cpp|#include <windows.h>|bad'
  'src/client/a.cpp|#include "platform/file.h"|ok'
  'src/client/a.cpp|#include "entry/hash_list.h"|bad'
  'src/client/a.cpp|#include <windows.h>|ok'
  'tools/trustctl/a.cpp|#include "entry/hash_list.h"|ok'
  'tools/trustctl/a.cpp|#include <windows.h>|bad'
  'tools/trustctl/platform/win32/a.cpp|#include <windows.h>|ok'
  'tools/trustctl/main_win32.cpp|#include <windows.h>|ok'
  'tools/trustctl/io/a.cpp|#include <windows.h>|bad'
  'tools/trustctl/view/a.cpp|#include "edit/edit_session.h"|bad'
  'tools/trustctl/edit/a.cpp|#include "view/container_view.h"|ok'
  'tools/trustctl/io/a.h|#include "commands/command.h"|bad'
  'tools/trustctl/platform/posix/a.cpp|#include "io/input_file.h"|bad'
  'tools/trustctl/platform/posix/a.cpp|#include "platform/input_backend.h"|ok'
  'tools/trustctl/commands/a.cpp|#include "platform/file.h"|ok'
  'tools/trustctl/commands/a.cpp|#include "trustctl.h"|ok'
  'tools/trustctl/edit/a.cpp|#include "trustctl.h"|bad'
  'tools/trustctl/main_posix.cpp|#include "commands/command.h"|ok'
  'tools/trustctl/util/a.cpp|#include "common/le.h"|bad'
  'tools/trustctl/view/a.cpp|#include "sign/list_signature.h"|ok'
  'tools/trustctl/commands/a.cpp|#include "sign/list_signature.h"|ok'
  'tools/trustctl/sign/a.cpp|#include "sign/sshsig.h"|ok'
  'tools/trustctl/sign/a.cpp|#include "io/text_input.h"|ok'
  'tools/trustctl/sign/a.h|#include "view/entry_json.h"|bad'
  'tools/trustctl/sign/a.cpp|#include "edit/edit_session.h"|bad'
  'tools/trustctl/io/a.cpp|#include "sign/verify.h"|bad'
  'tools/trustctl/platform/posix/a.cpp|#include "sign/sshsig.h"|bad'
)
for c in "${cases[@]}"; do
  IFS='|' read -r file line want <<<"$c"
  tree="$scratch/tree"
  rm -rf "$tree"
  mkdir -p "$tree/$(dirname "$file")" "$tree/src/common" "$tree/tools/trustctl"
  printf '#pragma once\n#include <cstdint>\n' >"$tree/src/common/le.h"
  printf '#pragma once\n' >"$tree/tools/trustctl/trustctl.h"
  printf '// a file\n%s\n' "$line" >"$tree/$file"
  out=$("$check" "$tree" 2>&1)
  rc=$?
  if [ "$want" = ok ]; then
    [ $rc -eq 0 ] || fail "$file with '$line' was refused: $out"
  else
    [ $rc -eq 1 ] || fail "$file with '$line' passed (rc $rc)"
    grep -q "^$file:2: " <<<"$out" || fail "$file with '$line': not named with its line: $out"
  fi
done
[ $failed -eq 0 ] && echo "check-layers: ${#cases[@]} cases as expected"
exit $failed
