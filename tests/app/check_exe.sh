#!/usr/bin/env bash
# velmo.exe is a 32-bit GUI program that needs only system DLLs.
set -u
exe=$1
fail=0
file -b "$exe" | grep -q '^PE32 executable (GUI) Intel 80386' || { echo "not a PE32 i386 GUI program: $(file -b "$exe")"; fail=1; }
dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for d in $dlls; do
    case $d in
        kernel32.dll|user32.dll|shell32.dll|msvcrt.dll|odbc32.dll|advapi32.dll|gdi32.dll) ;;
        *) echo "imports a non-system DLL: $d"; fail=1 ;;
    esac
done
echo "imports: $(echo $dlls)"
[ $fail -eq 0 ] && echo "1 passed, 0 failed"
exit $fail
