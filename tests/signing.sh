#!/bin/sh
# The signing option end to end: a throwaway self-signed code-signing
# certificate, a build configured to sign with it, the signature checked with
# osslsigncode, and the signed program run and inspected under Wine.
#   signing.sh SOURCE_DIR WORK_DIR TOOLCHAIN PREFIX IMAGE_TEST
set -eu
source_dir=$1 work=$2 toolchain=$3 prefix=$4 image_test=$5
run="$source_dir/scripts/wine-run"
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
export QUORVANE_SIGNING_PASSWORD="throwaway password"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quorvane test signing" \
  -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
  -keyout "$work/key.pem" -out "$work/certificate.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/certificate.pem" \
  -out "$work/signing.p12" -passout env:QUORVANE_SIGNING_PASSWORD

cmake -S "$source_dir" -B "$work/build" -G "Unix Makefiles" "-DCMAKE_TOOLCHAIN_FILE=$toolchain" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF "-DQUORVANE_SIGNING_CERTIFICATE=$work/signing.p12" >/dev/null
cmake --build "$work/build" --target quorvane quorvane-kit >/dev/null
signed="$work/build/quorvane.exe"
osslsigncode verify -in "$work/build/quorvane-kit.exe" -CAfile "$work/certificate.pem" 2>&1 |
  grep -q "Signature verification: ok" || fail "quorvane-kit.exe is not signed with quorvane.exe"

# Valid against its own root; untrusted against the system's roots.
osslsigncode verify -in "$signed" -CAfile "$work/certificate.pem" >"$work/trusted.txt" 2>&1 ||
  fail "signature does not verify against its own certificate: $(cat "$work/trusted.txt")"
grep -q "Signature verification: ok" "$work/trusted.txt" || fail "no valid signature"
if osslsigncode verify -in "$signed" >"$work/untrusted.txt" 2>&1; then
  fail "a self-signed chain was trusted"
fi
grep -q "self-signed certificate" "$work/untrusted.txt" || fail "unexpected verify failure: $(cat "$work/untrusted.txt")"
# A changed byte breaks the signature.
cp "$signed" "$work/tampered.exe"
printf 'X' | dd of="$work/tampered.exe" bs=1 seek=1200 conv=notrunc 2>/dev/null
if osslsigncode verify -in "$work/tampered.exe" -CAfile "$work/certificate.pem" >/dev/null 2>&1; then
  fail "a tampered image verified"
fi

# The signed program still works, and still carries its manifest, version
# record and load configuration (set before signing) under a checksum that
# matches.
key='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_04F3&PID_0026&MI_01'
"$run" --fresh "$prefix" reg add "$key\\0000\\Device Parameters" /f >/dev/null
status=0
"$run" "$prefix" "Z:$signed" -enable || status=$?
value=$("$run" "$prefix" reg query "$key\\0000\\Device Parameters" /v SelectiveSuspendOn 2>&1 || true)
"$run" "$prefix" reg delete "$key" /f >/dev/null
[ "$status" -eq 0 ] || fail "signed quorvane.exe -enable ended with $status"
case "$value" in *"REG_DWORD    0x1"*) ;; *) fail "value after the signed run: $value" ;; esac
"$run" "$prefix" "$image_test" "Z:$work/build" --gtest_brief=1 --gtest_filter='ResourceTest.*:VersionRecord.*:*LoadConfiguration*:*Checksum*' ||
  fail "the signed images' resources or load configuration"
echo "1 passed, 0 failed"
