#!/usr/bin/env bash
# Each velmo.exe or velmoc.exe given, by its own format (PE32 i386 or PE32+
# x86-64): a GUI program (velmo.exe) or a console program (velmoc.exe, its
# twin) that needs only system DLLs (statically only known DLLs, ODBC32.dll
# delay-loaded by ordinal), whose load configuration asks Windows to load
# dependencies from System32 only, and whose manifest (read from its
# resources) names its architecture, declares per-monitor DPI awareness and
# lists the supported Windows versions.
set -u
fail=0
for exe in "$@"; do
    echo "== $exe"
    name=$(basename "$exe" .exe)
    case $name in
        velmoc) subsystem=console ;;
        *) subsystem=GUI ;;
    esac
    case $(file -b "$exe") in
        "PE32 executable ($subsystem) Intel 80386"*) tools=i686-w64-mingw32 arch=x86 ;;
        "PE32+ executable ($subsystem) x86-64"*) tools=x86_64-w64-mingw32 arch=amd64 ;;
        *) echo "not a PE32 i386 or PE32+ x86-64 $subsystem program: $(file -b "$exe")"; fail=1; continue ;;
    esac
    dlls=$($tools-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
    [ -n "$dlls" ] || { echo "no imports read"; fail=1; }
    for d in $dlls; do
        case $d in
            kernel32.dll|user32.dll|shell32.dll|msvcrt.dll|advapi32.dll|gdi32.dll) ;;
            *) echo "imports a DLL that is not a known DLL: $d"; fail=1 ;;
        esac
    done
    echo "imports: $(echo $dlls)"
    # The data directory as objdump reads it; the structures behind it read here.
    dirs=$($tools-objdump -p "$exe" | grep -E '^Entry [2ad] ')
    report=$(python3 - "$exe" "$dirs" "$name" <<'PY'
import re, struct, sys
data = open(sys.argv[1], "rb").read()
entries = {}
for line in sys.argv[2].splitlines():
    f = line.split()
    entries[f[1]] = (int(f[2], 16), int(f[3], 16))
pe = struct.unpack_from("<I", data, 0x3C)[0]
nsect, = struct.unpack_from("<H", data, pe + 6)
opt_size, = struct.unpack_from("<H", data, pe + 20)
wide = struct.unpack_from("<H", data, pe + 24)[0] == 0x20B
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
# DependentLoadFlags, SEHandlerTable and SEHandlerCount by the layout's width.
if wide:
    flags, = struct.unpack_from("<H", data, cfg + 0x4E)
    seh = struct.unpack_from("<QQ", data, cfg + 0x60)
else:
    flags, = struct.unpack_from("<H", data, cfg + 0x36)
    seh = struct.unpack_from("<II", data, cfg + 0x40)
print("load config size %d DependentLoadFlags %#x SEHandlerTable %d SEHandlerCount %d" % ((size, flags) + seh))
rva, dsize = entries["d"]
out = []
off = at(rva)
thunk, flag = (8, 1 << 63) if wide else (4, 1 << 31)
while True:
    attrs, name, hmod, iat, int_, bound, unload, stamp = struct.unpack_from("<8I", data, off)
    if not name:
        break
    dll = data[at(name):].split(b"\0")[0].decode()
    ords, t = [], at(int_)
    while True:
        v, = struct.unpack_from("<Q" if wide else "<I", data, t)
        if not v:
            break
        ords.append(v & 0xFFFF if v & flag else -1)
        t += thunk
    out.append("%s %s" % (dll, ",".join("#%d" % o if o >= 0 else "name" for o in sorted(ords))))
    off += 32
print("delay imports: " + "; ".join(out))
# The manifest: resource type 24, name 1, from the resource directory.
def resource(type_id, name_id):
    base = at(entries["2"][0])
    def entry(table, wanted):
        named, ids = struct.unpack_from("<HH", data, table + 12)
        for i in range(named + ids):
            ident, off = struct.unpack_from("<II", data, table + 16 + 8 * i)
            if wanted is None or ident == wanted:
                return off
        raise SystemExit("no resource %s" % wanted)
    lang = entry(base + (entry(base + (entry(base, type_id) & 0x7FFFFFFF), name_id) & 0x7FFFFFFF), None)
    rva, size = struct.unpack_from("<II", data, base + lang)[:2]
    return data[at(rva):at(rva) + size]
import xml.etree.ElementTree as ET
root = ET.fromstring(resource(24, 1))
ns = {"a": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
      "c": "urn:schemas-microsoft-com:compatibility.v1",
      "ws05": "http://schemas.microsoft.com/SMI/2005/WindowsSettings",
      "ws16": "http://schemas.microsoft.com/SMI/2016/WindowsSettings"}
ident = root.find("a:assemblyIdentity", ns)
arch = ident.get("processorArchitecture") if ident is not None and ident.get("name") == sys.argv[3] else "none"
print("manifest architecture: " + arch)
aware = root.find("v3:application/v3:windowsSettings/ws05:dpiAware", ns)
awareness = root.find("v3:application/v3:windowsSettings/ws16:dpiAwareness", ns)
print("manifest dpiAware: %s; dpiAwareness: %s" % (aware.text if aware is not None else "none",
                                                  awareness.text if awareness is not None else "none"))
oses = [e.get("Id") for e in root.findall("c:compatibility/c:application/c:supportedOS", ns)]
print("manifest supportedOS: " + " ".join(oses))
print("manifest activeCodePage: " + ("present" if b"activeCodePage" in resource(24, 1) else "none"))
PY
) || { echo "cannot read the load configuration, delay imports or manifest: $report"; fail=1; }
    echo "$report"
    echo "$report" | grep -q 'DependentLoadFlags 0x800 SEHandlerTable 0 SEHandlerCount 0' || { echo "DependentLoadFlags is not LOAD_LIBRARY_SEARCH_SYSTEM32"; fail=1; }
    echo "$report" | grep -q '^delay imports: ODBC32.dll #2,#15,#75,#110$' || { echo "ODBC32.dll is not delay-imported by ordinal alone"; fail=1; }
    echo "$report" | grep -qx "manifest architecture: $arch" || { echo "the manifest does not name $name and $arch"; fail=1; }
    # Per-monitor aware (the older element for systems that read only it),
    # Windows 7, 8, 8.1 and 10/11 supported, and the ANSI code page kept.
    echo "$report" | grep -qx "manifest dpiAware: true/pm; dpiAwareness: PerMonitorV2, PerMonitor" || { echo "the manifest declares no per-monitor DPI awareness"; fail=1; }
    echo "$report" | grep -qx "manifest supportedOS: {35138b9a-5d96-4fbd-8e2d-a2440225f93a} {4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38} {1f676c76-80e1-4239-95bb-83d0f6d0da78} {8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" || { echo "the manifest does not list Windows 7 to 10/11"; fail=1; }
    echo "$report" | grep -qx "manifest activeCodePage: none" || { echo "the manifest sets a code page"; fail=1; }
done
[ $# -gt 0 ] || { echo "no exe given"; fail=1; }
[ $fail -eq 0 ] && echo "1 passed, 0 failed"
exit $fail
