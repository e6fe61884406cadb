#!/usr/bin/env bash
# The release zip: packed twice to the same bytes, its checksum right, its
# exe the built one; unpacked into dist-unpacked/ for the e2e tests.
# Arguments: the built 32-bit velmo.exe, the folder to work in.
set -u
exe=$1 work=$2
here=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$work/dist-a" "$work/dist-b" "$work/dist-unpacked"
fail=0
a=$(python3 "$here/scripts/dist-pack" "$exe" "$work/dist-a") || exit 1
sleep 1  # a different second: the zip must not carry the time of packing
b=$(python3 "$here/scripts/dist-pack" "$exe" "$work/dist-b") || exit 1
cmp -s "$a" "$b" || { echo "two packs differ"; fail=1; }
case $(basename "$a") in
    velmo-[0-9]*.[0-9]*.[0-9]*.[0-9]*-win32.zip) ;;
    *) echo "unexpected name: $(basename "$a")"; fail=1 ;;
esac
(cd "$work/dist-a" && sha256sum -c --quiet "$(basename "$a").sha256") || { echo "checksum does not match"; fail=1; }
mkdir -p "$work/dist-unpacked"
(cd "$work/dist-unpacked" && unzip -q "$a") || { echo "cannot unpack"; fail=1; }
cmp -s "$exe" "$work/dist-unpacked/velmo.exe" || { echo "velmo.exe in the zip is not the built one"; fail=1; }
want="CHANGELOG.md LICENSE README.md examples/confirm.bat examples/please-wait.bat examples/retry.bat examples/russian.bat examples/unattended.bat velmo.exe velmo.wli.sample"
got=$(cd "$work/dist-unpacked" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
[ "$got" = "$want " ] || { echo "contents: $got"; echo "want:     $want"; fail=1; }
[ $fail -eq 0 ] && echo "1 passed, 0 failed"
exit $fail
