#!/usr/bin/env bash
# Signed releases: a throwaway code-signing certificate made here with
# openssl, scripts/dist-release with it. Both exes in both zips carry a
# SHA-256 Authenticode signature that verifies against that certificate,
# and a changed byte breaks it; the signed exes of an architecture that
# runs here still answer under Wine. A certificate that cannot be read or
# used stops the release with a non-zero status and leaves no zip.
# Argument: the folder to work in.
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
source "$here/scripts/wine-env.sh"
dir=$1/sign-check
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir" || exit 1
fail=0
no() { echo "FAILED: $*"; fail=1; }

printf '%s' 'throwaway pass' > pass.txt
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=velmo test signer" \
    -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1 || { echo "openssl cannot make a certificate"; exit 1; }
openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.pfx -passout file:pass.txt || exit 1

release() {  # out-dir pfx password-file
    VELMO_SIGN_PFX=$2 VELMO_SIGN_PASSWORD_FILE=$3 "$here/scripts/dist-release" "$1" >"$1.log" 2>&1
}
release signed signer.pfx pass.txt || { no "the signed release failed: $(cat signed.log)"; exit 1; }
zips=$(ls signed/*.zip 2>/dev/null | wc -l)
[ "$zips" -eq 2 ] || no "$zips zips instead of 2"
for zip in signed/*.zip; do
    name=$(basename "$zip" .zip)
    (cd signed && sha256sum -c --quiet "$name.zip.sha256") || no "$name: checksum"
    mkdir -p "unpacked/$name"
    (cd "unpacked/$name" && unzip -q "../../$zip") || no "cannot unpack $zip"
    for exe in velmo.exe velmoc.exe; do
        out=$(osslsigncode verify -CAfile cert.pem -in "unpacked/$name/$exe" 2>&1)
        echo "$out" | grep -q '^Signature verification: ok' || no "$name/$exe does not verify: $out"
        echo "$out" | grep -qi 'digest algorithm *: *SHA256' || no "$name/$exe is not signed with SHA-256"
        echo "$out" | grep -q 'CN=velmo test signer' || no "$name/$exe is not signed by the test signer"
    done
    echo "verified $name"
done

# A password file saved on Windows (a UTF-8 byte-order mark, CRLF) signs
# too. Traced with bash -x, as a CI log would show it: neither the key nor
# the password appears; the private copy of the password is gone afterwards;
# one line warns that there is no time stamp.
printf '\xEF\xBB\xBF%s\r\n' 'throwaway pass' > windows-pass.txt
mkdir -p tmp windows
if TMPDIR=$PWD/tmp VELMO_SIGN_PFX=signer.pfx VELMO_SIGN_PASSWORD_FILE=windows-pass.txt \
    bash -x "$here/scripts/dist-release" windows >windows.log 2>&1; then
    [ "$(ls windows/*.zip 2>/dev/null | wc -l)" -eq 2 ] || no "a Windows password file: no zips"
    grep -q -F -- "$(sed -n 2p key.pem)" windows.log && no "the private key is in the trace of the release"
    grep -q 'throwaway pass' windows.log && no "the password is in the trace of the release"
    [ -z "$(ls -A tmp)" ] || no "the release left files in its temporary folder: $(ls -A tmp)"
    [ "$(grep -c '^\[velmo\] dist: warning: no VELMO_SIGN_TIMESTAMP_URL' windows.log)" -eq 1 ] \
        || no "no single warning of the missing time stamp"
    echo "signed with a Windows password file"
else
    no "a password file with a byte-order mark and CRLF did not sign: $(grep 'dist: ' windows.log)"
fi

# The password is the file's first line: a note on the second is no part
# of it (joined, it was a wrong password).
printf '\xEF\xBB\xBF%s\r\n%s\r\n' 'throwaway pass' 'note: expires in May' > noted-pass.txt
if release noted signer.pfx noted-pass.txt; then
    [ "$(ls noted/*.zip 2>/dev/null | wc -l)" -eq 2 ] || no "a password file with a note: no zips"
    echo "signed with a note under the password"
else
    no "a password file with a note on its second line did not sign: $(grep 'dist: ' noted.log)"
fi

# A stage of the password's pipe that fails stops the release at once, for
# that reason: here a sed that cannot read the file (a stand-in on PATH).
mkdir -p fakebin
cat > fakebin/sed <<'SED'
#!/bin/sh
case "$*" in *'1{s/^'*) echo "sed: read error" >&2; exit 4 ;; esac
exec /bin/sed "$@"
SED
chmod +x fakebin/sed
if PATH=$PWD/fakebin:$PATH release failing_sed signer.pfx pass.txt; then
    no "a password pipe whose sed failed: the release went on"
else
    grep -q 'dist: cannot copy the password from pass.txt' failing_sed.log \
        || no "a password pipe whose sed failed: not told so: $(grep 'dist: ' failing_sed.log | head -n 1)"
    echo "a failing sed stopped the release: $(grep 'dist: ' failing_sed.log | head -n 1)"
fi

# The signed exes answer: the countdown clicks No, velmoc says so.
runs_here=x86_64
velmo_probe_i686 && runs_here="x86_64 i686"
for arch in $runs_here; do
    platform=win64
    [ "$arch" = i686 ] && platform=win32
    d=$(ls -d unpacked/*-$platform)
    "$here/scripts/winerun" "$d/velmo.exe" "Signed" "Signed $platform" "YesNo|DefButton2" 1 >/dev/null 2>&1
    rc=$?
    [ "$rc" -eq 7 ] || no "signed $platform velmo.exe answered $rc, not 7"
    word=$("$here/scripts/winerun" "$d/velmoc.exe" "Signed" "Signed $platform" "YesNo|DefButton2" 1 2>/dev/null | tr -d '\r')
    [ "$word" = No ] || no "signed $platform velmoc.exe wrote '$word', not No"
    echo "ran $platform"
done

# Without a certificate: unsigned, and the same bytes on every run.
"$here/scripts/dist-release" unsigned-a >/dev/null 2>&1 || no "the unsigned release failed"
"$here/scripts/dist-release" unsigned-b >/dev/null 2>&1 || no "the unsigned release failed"
for zip in unsigned-a/*.zip; do
    cmp -s "$zip" "unsigned-b/$(basename "$zip")" || no "two unsigned releases differ: $(basename "$zip")"
done
mkdir -p unpacked/unsigned
zip=$(ls unsigned-a/*-win64.zip)
(cd unpacked/unsigned && unzip -q -o "../../$zip" velmo.exe) || no "cannot unpack the unsigned zip"
osslsigncode verify -in unpacked/unsigned/velmo.exe >/dev/null 2>&1 && no "the unsigned release is signed"

# One byte changed after signing: the signature no longer holds.
d=$(ls -d unpacked/*-win64)
cp "$d/velmo.exe" changed.exe
printf '\x5a' | dd of=changed.exe bs=1 seek=4200 conv=notrunc 2>/dev/null
cmp -s "$d/velmo.exe" changed.exe && no "the byte was not changed"
osslsigncode verify -CAfile cert.pem -in changed.exe >/dev/null 2>&1 && no "a changed exe still verifies"

# Certificates that cannot be read or used: a non-zero status, a message, no zip.
head -c 2000 /dev/urandom > garbage.pfx
printf '%s' 'wrong' > wrong.txt
openssl req -x509 -newkey rsa:2048 -nodes -keyout skey.pem -out server.pem -days 2 -subj "/CN=not a signer" \
    -addext "extendedKeyUsage=serverAuth" >/dev/null 2>&1
openssl pkcs12 -export -inkey skey.pem -in server.pem -out server.pfx -passout file:pass.txt
openssl pkcs12 -export -nokeys -in cert.pem -out nokey.pfx -passout file:pass.txt
while read -r case pfx pw; do
    mkdir -p "$case"
    cp signed/*.zip "$case/"  # an earlier run's zips must not stay behind either
    if release "$case" "$pfx" "$pw"; then
        no "$case: the release went on"
    else
        [ -z "$(ls "$case"/*.zip* 2>/dev/null)" ] || no "$case: a zip was left behind"
        grep -q 'dist: ' "$case.log" || no "$case: no message"
        echo "$case stopped: $(grep 'dist: ' "$case.log" | head -n 1)"
    fi
done <<'CASES'
missing no-such.pfx pass.txt
garbage garbage.pfx pass.txt
wrong_password signer.pfx wrong.txt
no_password_file signer.pfx no-such.txt
no_key nokey.pfx pass.txt
not_for_code_signing server.pfx pass.txt
CASES

[ $fail -eq 0 ] && echo "1 passed, 0 failed"
exit $fail
