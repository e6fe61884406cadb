#!/usr/bin/env bash
# Copies of velmo.exe, velmoc.exe and a texts file that the user may not read, as a
# deployment cache holds them: BUILD_DIR/locked/, each file of another owner
# (nobody) with mode 0700. Wine reports such a file as granting the user
# nothing, yet Wine run as root still starts it. Elsewhere (Wine not run as
# root could not start it at all) the folder holds only not-locked.txt with
# the reason, and the tests that need it skip.
#   lock_exes.sh BUILD_DIR
set -u
build=$1
dir=$build/locked
rm -rf "$dir"
mkdir -p "$dir" || exit 1
if [ "$(id -u)" -ne 0 ]; then
    echo "Wine does not run as root here: it could not start a file of another owner with mode 0700" \
        > "$dir/not-locked.txt"
    echo "not locked: not root"
    exit 0
fi
# velmo_wts.exe: the copy that takes the WTSAPI32 test double; restart.txt:
# a texts file that the user may not read either.
for pair in velmo.exe:velmo.exe velmoc.exe:velmoc.exe velmo.exe:velmo_wts.exe velmoc.exe:velmoc_wts.exe \
    restart.txt:restart.txt; do
    cp "$build/${pair%%:*}" "$dir/${pair#*:}" || exit 1
    chown nobody "$dir/${pair#*:}" && chmod 0700 "$dir/${pair#*:}" || exit 1
done
ls -l "$dir"
