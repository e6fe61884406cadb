#!/usr/bin/env bash
# The release zips: each packed twice to the same bytes, named for its exe's
# platform, its checksum right, its exe the built one, the same members in
# every zip. The first exe's zip is unpacked into dist-unpacked/ for the e2e
# tests. Arguments: the folder to work in, then one or more built velmo.exe.
set -u
work=$1
shift
here=$(cd "$(dirname "$0")/../.." && pwd)
want="CHANGELOG.md LICENSE README.md examples/close-apps.bat examples/confirm.bat examples/deferral.bat examples/please-wait.bat examples/restart-prompt-multilingual.bat examples/restart-prompt.bat examples/restart.txt examples/retry.bat examples/russian.bat examples/unattended.bat velmo.exe velmo.wli.sample velmoc.exe"
rm -rf "$work/dist-unpacked"
fail=0 n=0
for exe in "$@"; do
    n=$((n + 1))
    dir=$work/dist-check-$n
    rm -rf "$dir"
    case $(file -b "$exe") in
        "PE32 executable"*) platform=win32 ;;
        "PE32+ executable"*) platform=win64 ;;
        *) echo "not a Windows program: $exe"; fail=1; continue ;;
    esac
    a=$(python3 "$here/scripts/dist-pack" "$exe" "$dir/a") || { fail=1; continue; }
    sleep 1  # a different second: the zip must not carry the time of packing
    b=$(python3 "$here/scripts/dist-pack" "$exe" "$dir/b") || { fail=1; continue; }
    cmp -s "$a" "$b" || { echo "two packs of $platform differ"; fail=1; }
    # The name carries the exe's own version, the newest release of the changelog.
    version=$(python3 - "$exe" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
ms, ls = struct.unpack_from("<II", data, at + 8) if at >= 0 else (0, 0)
print("%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
PY
)
    released=$(sed -n 's/^## \([0-9][0-9.]*\)$/\1/p' "$here/CHANGELOG.md" | head -n 1)
    [ "$version" = "$released" ] || { echo "the exe is version $version, the changelog's newest release $released"; fail=1; }
    [ "$(basename "$a")" = "velmo-$version-$platform.zip" ] || { echo "unexpected name for a $platform exe of $version: $(basename "$a")"; fail=1; }
    (cd "$dir/a" && sha256sum -c --quiet "$(basename "$a").sha256") || { echo "$platform checksum does not match"; fail=1; }
    mkdir -p "$dir/unpacked"
    (cd "$dir/unpacked" && unzip -q "$a") || { echo "cannot unpack $(basename "$a")"; fail=1; }
    cmp -s "$exe" "$dir/unpacked/velmo.exe" || { echo "velmo.exe in the $platform zip is not the built one"; fail=1; }
    cmp -s "$(dirname "$exe")/velmoc.exe" "$dir/unpacked/velmoc.exe" || { echo "velmoc.exe in the $platform zip is not the built one"; fail=1; }
    got=$(cd "$dir/unpacked" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
    [ "$got" = "$want " ] || { echo "$platform contents: $got"; echo "want:          $want"; fail=1; }
    echo "checked $(basename "$a")"
    [ $n -eq 1 ] && mv "$dir/unpacked" "$work/dist-unpacked"
done
[ $n -gt 0 ] || { echo "no exe given"; fail=1; }
[ $fail -eq 0 ] && echo "1 passed, 0 failed"
exit $fail
