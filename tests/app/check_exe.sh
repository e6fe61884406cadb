#!/usr/bin/env bash
# velmo.exe is a 32-bit GUI program that needs only system DLLs: statically
# only known DLLs, and ODBC32.dll delay-loaded by ordinal; its load
# configuration asks Windows to load dependencies from System32 only.
set -u
exe=$1
fail=0
file -b "$exe" | grep -q '^PE32 executable (GUI) Intel 80386' || { echo "not a PE32 i386 GUI program: $(file -b "$exe")"; fail=1; }
dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for d in $dlls; do
    case $d in
        kernel32.dll|user32.dll|shell32.dll|msvcrt.dll|advapi32.dll|gdi32.dll) ;;
        *) echo "imports a DLL that is not a known DLL: $d"; fail=1 ;;
    esac
done
echo "imports: $(echo $dlls)"
# The data directory as objdump reads it; the structures behind it read here.
dirs=$(i686-w64-mingw32-objdump -p "$exe" | grep -E '^Entry [ad] ')
delay=$(python3 - "$exe" "$dirs" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
entries = {}
for line in sys.argv[2].splitlines():
    f = line.split()
    entries[f[1]] = (int(f[2], 16), int(f[3], 16))
pe = struct.unpack_from("<I", data, 0x3C)[0]
nsect, = struct.unpack_from("<H", data, pe + 6)
opt_size, = struct.unpack_from("<H", data, pe + 20)
secs = [struct.unpack_from("<IIII", data, pe + 24 + opt_size + 40 * i + 8) for i in range(nsect)]
def at(rva):
    for vsize, va, rawsize, raw in secs:
        if va <= rva < va + max(vsize, rawsize):
            return raw + rva - va
    raise SystemExit("rva %#x outside the sections" % rva)
cfg_rva, cfg_size = entries["a"]
if not cfg_rva:
    raise SystemExit("no load configuration")
cfg = at(cfg_rva)
size, = struct.unpack_from("<I", data, cfg)
flags, = struct.unpack_from("<H", data, cfg + 0x36)
seh = struct.unpack_from("<II", data, cfg + 0x40)
print("load config size %d DependentLoadFlags %#x SEHandlerTable %d SEHandlerCount %d" % ((size, flags) + seh))
rva, dsize = entries["d"]
out = []
off = at(rva)
while True:
    attrs, name, hmod, iat, int_, bound, unload, stamp = struct.unpack_from("<8I", data, off)
    if not name:
        break
    dll = data[at(name):].split(b"\0")[0].decode()
    ords, t = [], at(int_)
    while True:
        v, = struct.unpack_from("<I", data, t)
        if not v:
            break
        ords.append(v & 0xFFFF if v & 0x80000000 else -1)
        t += 4
    out.append("%s %s" % (dll, ",".join("#%d" % o if o >= 0 else "name" for o in sorted(ords))))
    off += 32
print("delay imports: " + "; ".join(out))
PY
) || { echo "cannot read the load configuration or delay imports: $delay"; fail=1; }
echo "$delay"
echo "$delay" | grep -q 'DependentLoadFlags 0x800 SEHandlerTable 0 SEHandlerCount 0' || { echo "DependentLoadFlags is not LOAD_LIBRARY_SEARCH_SYSTEM32"; fail=1; }
echo "$delay" | grep -q '^delay imports: ODBC32.dll #2,#15,#75,#110$' || { echo "ODBC32.dll is not delay-imported by ordinal alone"; fail=1; }
[ $fail -eq 0 ] && echo "1 passed, 0 failed"
exit $fail
