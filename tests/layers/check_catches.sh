#!/usr/bin/env bash
# The include check itself: on a copy of src/ it passes, and it fails once an include points up
# (net including protocol), once Qt enters a plain C++ folder, and once src/ includes a test
# helper.
set -u
check=$1 layers=$2 src=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
expect() {  # expect PASS|FAIL description
    local want=$1 what=$2 got
    if python3 "$check" "$layers" "$scratch/src" >"$scratch/out" 2>&1; then got=PASS; else got=FAIL; fi
    if [ "$got" != "$want" ]; then
        echo "expected $want with $what, got $got:"; cat "$scratch/out"; status=1
    else
        echo "$want with $what"
    fi
}
fresh() { rm -rf "$scratch/src"; cp -r "$src" "$scratch/src"; }

fresh; expect PASS "the tree as it is"
fresh; echo '#include "protocol/Conversation.h"' >>"$scratch/src/net/ClientSocket.cpp"
expect FAIL "net including protocol"
fresh; echo '#include <QString>' >>"$scratch/src/voice/Buffer.cpp"
expect FAIL "Qt in voice"
fresh; echo '#include "support/FileAudioDevice.h"' >>"$scratch/src/ui/MainForm.cpp"
expect FAIL "a test helper in ui"
fresh; mkdir "$scratch/src/extra"; echo '' >"$scratch/src/extra/X.cpp"
expect FAIL "a folder outside the list"
exit $status
