#!/usr/bin/env bash
# Signing KetroSetup.exe in release form with a throwaway self-signed certificate (PEM pair, and
# a password-protected PKCS#12 file), the signature checked, then the signed exe's installation
# run end to end under Wine.
#
#   sign_test.sh SOURCE_ROOT EXE PROBE PRODUCT NATIVE_BIN HEADER PAYLOAD SHOTS
#
# Runs inside scripts/with-wine.sh. The exe is this build's: the PE32 release exe under 32-bit
# Wine in the shipped program's build (build/win32), the x86-64 one under 64-bit Wine in
# build/win64; the test says which it ran.
set -euo pipefail
[ $# -eq 8 ] || { echo "usage: sign_test.sh SOURCE_ROOT EXE PROBE PRODUCT NATIVE_BIN HEADER PAYLOAD SHOTS" >&2; exit 2; }
root=$1 exe=$2 probe=$3 product=$4 native_bin=$5 header=$6 payload=$7 shots=$8
release=$root/scripts/release.sh

work=$(mktemp -d "${KET_WINE_BASE:-/tmp}/sign-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "sign_test: FAILED: $*" >&2; failures=$((failures + 1)); }
ok() { echo "sign_test: ok: $*"; }

"$release" form "$exe" "$work/form"
unsigned=$work/form/KetroSetup.exe
before=$(sha256sum <"$unsigned")
case $(od -An -tx2 -j$(($(od -An -tu4 -j60 -N4 "$unsigned") + 4)) -N2 "$unsigned" | tr -d ' ') in
  014c) machine=i386 what="the signed PE32 (i686) release exe under 32-bit Wine" ;;
  8664) machine=x86-64 what="the signed x86-64 build's exe under 64-bit Wine" ;;
  *) echo "sign_test: $exe is no PE file of i386 or x86-64" >&2; exit 1 ;;
esac

# The throwaway signer: a self-signed certificate, its key, and both in a PKCS#12 file under
# a password.
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Ketro test signer" -days 2 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>"$work/openssl.log" ||
  { cat "$work/openssl.log" >&2; exit 1; }
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:'s3cret "p12"' \
  -out "$work/signer.p12" 2>>"$work/openssl.log" || { cat "$work/openssl.log" >&2; exit 1; }
# Someone else's certificate, for the check that a signature is held against the right one.
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Someone else" -days 2 \
  -keyout "$work/other-key.pem" -out "$work/other.pem" 2>>"$work/openssl.log"

unset SIGN_CERT SIGN_KEY SIGN_PKCS12 SIGN_PASS SIGN_CA SIGN_TIMESTAMP_URL
# 1. A PEM certificate and key.
if SIGN_CERT=$work/cert.pem SIGN_KEY=$work/key.pem "$release" sign "$unsigned" "$work/pem.exe" \
     2>"$work/pem.log"; then
  ok "signed with a PEM certificate and key"
else
  cat "$work/pem.log" >&2
  fail "signing with a PEM certificate and key"
fi
# 2. A PKCS#12 file and its password; the wrong password signs nothing.
if SIGN_PKCS12=$work/signer.p12 SIGN_PASS='s3cret "p12"' "$release" sign "$unsigned" \
     "$work/p12.exe" 2>"$work/p12.log"; then
  ok "signed with a PKCS#12 file"
else
  cat "$work/p12.log" >&2
  fail "signing with a PKCS#12 file"
fi
if SIGN_PKCS12=$work/signer.p12 SIGN_PASS=wrong "$release" sign "$unsigned" "$work/bad.exe" \
     2>"$work/bad.log"; then
  fail "a wrong PKCS#12 password was accepted"
elif [ -e "$work/bad.exe" ]; then
  fail "a wrong PKCS#12 password left $work/bad.exe"
else
  ok "a wrong PKCS#12 password is refused: $(tail -n 1 "$work/bad.log")"
fi
[ "$(sha256sum <"$unsigned")" = "$before" ] || fail "signing changed the unsigned exe"

for signed in "$work/pem.exe" "$work/p12.exe"; do
  [ -f "$signed" ] || continue
  # osslsigncode's own verdict, with the test certificate as the only trust anchor.
  # It carries the version resource's product name as its description.
  if osslsigncode verify -in "$signed" -CAfile "$work/cert.pem" >"$work/verify.log" 2>&1 &&
     grep -q '^Signature verification: ok' "$work/verify.log" &&
     grep -q "Text description: $(sed -n 's/^#define KET_PRODUCT_NAME "\(.*\)"$/\1/p' "$header")\$" \
       "$work/verify.log"; then
    ok "$(basename "$signed"): osslsigncode verify"
  else
    cat "$work/verify.log" >&2
    fail "$(basename "$signed"): osslsigncode verify"
  fi
  # Resources, the payload "MAIN" among them, read back from the signed file.
  python3 "$root/tests/release/version_info_test.py" --exe "$signed" --header "$header" \
    --payload "$payload" --machine "$machine" || fail "$(basename "$signed"): its resources"
done

if [ -f "$work/pem.exe" ]; then
  # Held against another certificate, the signature is refused.
  if "$release" verify "$work/pem.exe" "$work/other.pem" 2>"$work/other.log"; then
    fail "the signature verified against someone else's certificate"
  else
    ok "the signature does not verify against someone else's certificate"
  fi
  # One byte of the signed image changed (inside the payload): the digest no longer matches.
  cp "$work/pem.exe" "$work/tampered.exe"
  size=$(stat -c %s "$work/tampered.exe")
  at=$((size / 2))
  byte=$(od -An -tu1 -j$at -N1 "$work/tampered.exe" | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 1)))" |
    dd of="$work/tampered.exe" bs=1 seek=$at conv=notrunc status=none
  if "$release" verify "$work/tampered.exe" "$work/cert.pem" 2>"$work/tampered.log"; then
    fail "a changed byte in the signed exe went unnoticed"
  else
    ok "a changed byte in the signed exe fails the verification"
  fi

  # The signed exe installs: the end-to-end installation scenario (Enter in the window, every
  # file of the product checked, the city database encrypted, both shortcuts).
  echo "sign_test: running $what"
  if [ "$machine" = x86-64 ]; then
    echo "sign_test: the PE32 release exe is not run here:" \
      "$("$root/scripts/ia32-probe.sh" --wine 2>&1 && echo "this suite is the x86-64 build's")"
  fi
  if python3 "$root/tests/e2e/e2e.py" install --setup "$work/pem.exe" --probe "$probe" \
       --product "$product" --native-bin "$native_bin" --shots "$shots"; then
    ok "$what installed the product"
  else
    fail "$what did not install the product"
  fi
fi

if [ $failures -ne 0 ]; then
  echo "sign_test: $failures check(s) failed" >&2
  exit 1
fi
echo "sign_test: all checks held; ran $what"
