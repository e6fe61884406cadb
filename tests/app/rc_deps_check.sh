#!/usr/bin/env bash
# An incremental build never ships a stale resource: a copy of the sources is
# built, then its manifest template and its version are changed and it is
# built again after each change; the rebuilt velmo.exe must carry it.
# Arguments: the folder to work in, the toolchain file.
set -u
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$1/rc-deps-check
toolchain=$2
rm -rf "$work"
mkdir -p "$work/src"
# Only what building velmo.exe needs.
cp -a "$src/CMakeLists.txt" "$src/cmake" "$src/Lib" "$src/app" "$src/scripts" "$work/src/" || exit 1
build() {
    cmake --build "$work/build" --target velmo -j 2 >"$work/build.log" 2>&1 \
        || { echo "the build failed:"; tail -n 20 "$work/build.log"; exit 1; }
}
cmake -S "$work/src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DVELMO_TESTS=OFF -DVELMO_BENCH=OFF >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
build
exe=$work/build/velmo.exe
# The version resource's numbers.
version() {
    python3 - "$exe" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
ms, ls = struct.unpack_from("<II", data, at + 8) if at >= 0 else (0, 0)
print("%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
PY
}
fail=0
marker="rc-deps-check $$"
grep -q -a -F "$marker" "$exe" && { echo "the marker is in the exe before the change"; exit 1; }
before=$(version)
# Two later builds: each after one change, since one rebuild of the
# resource would take both in.
sleep 1
sed -i "s|<description>[^<]*</description>|<description>$marker</description>|" "$work/src/app/velmo.manifest.in"
build
grep -q -a -F "$marker" "$exe" || { echo "velmo.exe keeps the old manifest after its template changed"; fail=1; }
sed -i -E 's/^(project\(velmo VERSION )[0-9.]+/\19.8.7.6/' "$work/src/CMakeLists.txt"
build
after=$(version)
[ "$after" = 9.8.7.6 ] || { echo "velmo.exe is version $after after the change, was $before; want 9.8.7.6"; fail=1; }
[ $fail -eq 0 ] && { echo "1 passed, 0 failed"; rm -rf "$work"; }
exit $fail
