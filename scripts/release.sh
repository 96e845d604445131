#!/usr/bin/env bash
# The release of KetroSetup.exe: the shipped program (PE32, i686) in release form, optionally
# signed, with its checksums.
#
#   release.sh build            make release: builds build/release and fills dist/
#   release.sh check            make check-release: build/win32 against one more build
#   release.sh form EXE DIR     DIR/KetroSetup.exe (stripped, with a debug link) and
#                               DIR/KetroSetup.exe.debug (its debug information)
#   release.sh sign IN OUT      signs IN into OUT with SIGN_*, then verifies OUT
#   release.sh verify EXE CERT  verifies EXE's signature; CERT is the signing certificate
#
# Settings come from the environment (make passes its command-line variables on):
#   PAYLOAD=DIR            the product folder (its manifest "list" and files); empty: the demo
#   SOURCE_DATE_EPOCH=N    every payload entry's date is that instant (UTC); without it, each
#                          file's own last-write time
#   SIGN_CERT=cert.pem SIGN_KEY=key.pem, or SIGN_PKCS12=f.p12 [SIGN_PASS=...]
#                          sign with osslsigncode; SIGN_PASS is the key's or the PKCS#12 file's
#                          password; SIGN_TIMESTAMP_URL=URL asks that time-stamp server for a
#                          counter-signature; SIGN_CA=FILE the certificates to verify against
#                          (default: the system's, or the certificate itself when self-signed)
#   KET_RELEASE_BUILD      the release's build folder (build/release)
#   KET_RELEASE_DIST       where the release goes (dist)
#   KET_RELEASE_REFERENCE  check: the build compared (build/win32)
#   KET_RELEASE_CHECK_BUILD check: the one more build (build/release-check)
#   KET_HOST_BIN           the native tools, ketro-pack above all (build/native/bin)
#   JOBS                   parallel compile jobs (nproc)
#
# The unsigned exe is the reproducible one: the same commit, product folder and
# SOURCE_DATE_EPOCH give the same bytes in any folder. A signature holds its signing time; in a
# signed release the setup carries the signed uninstaller, so there the setup before its own
# signature holds one signing time already, and only an unsigned release rebuilds byte for byte.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Paths given (files, folders) are the caller's, relative to where it runs; the defaults are
# the tree's.

say() { echo "release: $*" >&2; }
die() { say "$*"; exit 1; }

jobs=${JOBS:-$(nproc)}
host_bin=${KET_HOST_BIN:-$root/build/native/bin}
launcher=$(command -v ccache 2>/dev/null || true)

# The mingw tool prefix for a PE file's machine: i686 for PE32 (i386), x86_64 for x86-64.
mingw_of() {
  local lfanew machine
  lfanew=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  machine=$(od -An -tx2 -j$((lfanew + 4)) -N2 "$1" | tr -d ' ')
  case $machine in
    014c) echo i686-w64-mingw32 ;;
    8664) echo x86_64-w64-mingw32 ;;
    *) die "$1: not a PE file of i386 or x86-64 (machine '$machine')" ;;
  esac
}

# form EXE DIR: the stripped program and its debug information beside it. objcopy writes a
# new PE header and stamps it with SOURCE_DATE_EPOCH, else the current time: 0, as the linker
# (--no-insert-timestamp) leaves it.
form() {
  local exe dir objcopy
  exe=$(realpath "$1")
  dir=$2
  objcopy=$(mingw_of "$exe")-objcopy
  mkdir -p "$dir"
  rm -f "$dir/KetroSetup.exe" "$dir/KetroSetup.exe.debug"
  SOURCE_DATE_EPOCH=0 "$objcopy" --only-keep-debug "$exe" "$dir/KetroSetup.exe.debug"
  # The debug link holds the debug file's name (no folder) and its CRC-32.
  (cd "$dir" && SOURCE_DATE_EPOCH=0 "$objcopy" --strip-all \
    --add-gnu-debuglink=KetroSetup.exe.debug "$exe" KetroSetup.exe)
}

# The signing settings, checked: sets sign_args (osslsigncode's) and cert_pem (the signing
# certificate as PEM, for the verification). Needs $work.
signing=""
sign_args=()
cert_pem=""
read_signing() {
  if [ -n "${SIGN_PKCS12:-}" ]; then
    [ -z "${SIGN_CERT:-}${SIGN_KEY:-}" ] || die "give SIGN_PKCS12 or SIGN_CERT with SIGN_KEY, not both"
    [ -f "$SIGN_PKCS12" ] || die "SIGN_PKCS12: no file $SIGN_PKCS12"
    sign_args=(-pkcs12 "$SIGN_PKCS12")
    cert_pem=$work/signer.pem
    printf '%s' "${SIGN_PASS:-}" >"$work/pass"
    openssl pkcs12 -in "$SIGN_PKCS12" -nokeys -clcerts -passin "file:$work/pass" \
      -out "$cert_pem" 2>"$work/pkcs12.log" ||
      { cat "$work/pkcs12.log" >&2; die "SIGN_PKCS12: cannot read $SIGN_PKCS12 (wrong SIGN_PASS?)"; }
  elif [ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ]; then
    [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ] || die "SIGN_CERT and SIGN_KEY go together"
    [ -f "$SIGN_CERT" ] || die "SIGN_CERT: no file $SIGN_CERT"
    [ -f "$SIGN_KEY" ] || die "SIGN_KEY: no file $SIGN_KEY"
    sign_args=(-certs "$SIGN_CERT" -key "$SIGN_KEY")
    cert_pem=$SIGN_CERT
  else
    return 0
  fi
  command -v osslsigncode >/dev/null || die "osslsigncode is not installed (make deps)"
  signing=1
  # The password through a private file, never on a command line that ps shows.
  if [ -n "${SIGN_PASS:-}" ]; then
    printf '%s' "$SIGN_PASS" >"$work/pass"
    sign_args+=(-readpass "$work/pass")
  fi
  if [ -n "${SIGN_TIMESTAMP_URL:-}" ]; then
    sign_args+=(-ts "$SIGN_TIMESTAMP_URL")
  fi
}

# verify EXE CERT: the signature is intact and made with CERT's key.
verify() {
  local exe=$1 cert=$2 ca log
  log=$(mktemp)
  if [ -n "${SIGN_CA:-}" ]; then
    ca=$SIGN_CA
  elif [ "$(openssl x509 -in "$cert" -noout -subject_hash)" = \
         "$(openssl x509 -in "$cert" -noout -issuer_hash)" ]; then
    say "the certificate is self-signed: Windows will not trust it (a test certificate?)"
    ca=$cert
  else
    ca=/etc/ssl/certs/ca-certificates.crt
  fi
  if ! osslsigncode verify -in "$exe" -CAfile "$ca" >"$log" 2>&1 ||
     ! grep -q '^Signature verification: ok' "$log"; then
    cat "$log" >&2
    rm -f "$log"
    say "$exe: the signature does not verify"
    return 1
  fi
  # The signer must be the certificate given, not merely someone the CA file trusts.
  local subject
  subject=$(openssl x509 -in "$cert" -noout -subject -nameopt compat | sed 's/^subject=//')
  if ! grep -qF "Subject: $subject" "$log"; then
    cat "$log" >&2
    rm -f "$log"
    say "$exe: signed by someone other than $subject"
    return 1
  fi
  rm -f "$log"
  say "signature of $(basename "$exe") verified ($subject)"
}

# sign IN OUT [DESCRIPTION]   (DESCRIPTION: the exe's product name by default)
sign() {
  local in=$1 out=$2 description=${3:-}
  [ -n "$signing" ] || die "no signing settings (SIGN_CERT with SIGN_KEY, or SIGN_PKCS12)"
  [ -n "$description" ] || description=$(product_name "$in") ||
    die "$in: no product name in its version resource"
  rm -f "$out"
  osslsigncode sign "${sign_args[@]}" -h sha256 -n "$description" -in "$in" -out "$out" \
    >"$work/sign.log" 2>&1 || { cat "$work/sign.log" >&2; rm -f "$out"; die "signing $in failed"; }
  chmod --reference="$in" "$out"
  verify "$out" "$cert_pem" || { rm -f "$out"; die "the signed $(basename "$out") was removed"; }
}

# The product name for the signature's description, from the exe's own version resource.
product_name() {
  python3 "$root/tests/release/pe_file.py" product-name "$1"
}

cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }

configure() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    --toolchain "$root/cmake/mingw-i686.cmake" -DKET_HOST_BIN="$host_bin" \
    ${launcher:+-DCMAKE_C_COMPILER_LAUNCHER=$launcher -DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} \
    "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log" >&2; die "configuring $dir failed"; }
}

cmd_build() {
  local dir=${KET_RELEASE_BUILD:-$root/build/release} dist=${KET_RELEASE_DIST:-$root/dist}
  local payload=${PAYLOAD:-}
  [ -x "$host_bin/ketro-pack" ] || die "no $host_bin/ketro-pack: make build first"
  if [ -n "$payload" ]; then
    [ -f "$payload/list" ] || die "PAYLOAD: $payload has no manifest 'list'"
    payload=$(realpath "$payload")
  fi
  if [ -n "${SOURCE_DATE_EPOCH:-}" ] && ! [[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]]; then
    die "SOURCE_DATE_EPOCH must be a number of seconds since 1970, not '$SOURCE_DATE_EPOCH'"
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  read_signing
  mkdir -p "$(dirname "$dir")"
  local dates="each file's own last-write time"
  if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    dates="$(date -u -d "@$SOURCE_DATE_EPOCH" '+%F %T') UTC"
  fi
  say "building the shipped program in $dir (product: ${payload:-the demo product}; entry dates: $dates)"
  # The uninstaller that the setup carries and puts beside the product goes in as users get it:
  # stripped, and signed in a signed release. So it is built and formed first, and the setup
  # is built around that copy.
  configure "$dir" -DKET_PAYLOAD="$payload" -DKET_SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-}" \
    -DKET_UNINSTALLER=
  cmake --build "$dir" --target KetroUninstall -j "$jobs"
  local uninstaller=$dir/release-uninstaller/KetroUninstall.exe
  mkdir -p "$(dirname "$uninstaller")"
  rm -f "$uninstaller" "$uninstaller.stripped"
  SOURCE_DATE_EPOCH=0 "$(mingw_of "$dir/bin/KetroUninstall.exe")-objcopy" --strip-all \
    "$dir/bin/KetroUninstall.exe" "$uninstaller.stripped"
  if [ -n "$signing" ]; then
    # It has no version resource of its own: the product's name comes from version.cmake.
    sign "$uninstaller.stripped" "$uninstaller" \
      "$(sed -n 's/^set(KET_PRODUCT_NAME "\(.*\)")$/\1/p' "$root/version.cmake")"
  else
    mv "$uninstaller.stripped" "$uninstaller"
  fi
  configure "$dir" -DKET_PAYLOAD="$payload" -DKET_SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-}" \
    -DKET_UNINSTALLER="$uninstaller"
  cmake --build "$dir" --target KetroSetup -j "$jobs"

  # The release is made whole beside dist/, then each file renamed into place, the checksums
  # last; only the release's own files are replaced or removed there.
  local next=$dist.next name
  rm -rf "$next"
  form "$dir/bin/KetroSetup.exe" "$next"
  if [ -n "$signing" ]; then
    mv "$next/KetroSetup.exe" "$next/KetroSetup.unsigned.exe"
    sign "$next/KetroSetup.unsigned.exe" "$next/KetroSetup.exe"
  fi
  (cd "$next" && sha256sum KetroSetup*.exe* >SHA256SUMS)
  mkdir -p "$dist"
  rm -f "$dist/SHA256SUMS"
  for name in KetroSetup.exe KetroSetup.exe.debug KetroSetup.unsigned.exe SHA256SUMS; do
    if [ -f "$next/$name" ]; then
      mv -f "$next/$name" "$dist/$name"
    else
      rm -f "$dist/$name"
    fi
  done
  rmdir "$next"
  say "$dist/:"
  (cd "$dist" && ls -l --time-style=+ KetroSetup* | awk '{print "  " $5 "  " $NF}' && sed 's/^/  /' SHA256SUMS) >&2
  if [ -n "$signing" ]; then
    say "KetroSetup.exe is the signed one; KetroSetup.unsigned.exe is it before its own signature" \
      "(it carries the signed uninstaller: an unsigned release is the one that rebuilds byte for byte)"
  fi
}

# The one more build of check: the reference's toolchain, product folder and entry dates,
# compiled for real (ccache hashes the working folder, through the path maps).
cmd_check() {
  local ref=${KET_RELEASE_REFERENCE:-$root/build/win32}
  local extra=${KET_RELEASE_CHECK_BUILD:-$root/build/release-check}
  [ -f "$ref/bin/KetroSetup.exe" ] || die "no $ref/bin/KetroSetup.exe: make win32 first"
  local toolchain product epoch build_type
  toolchain=$(cache_value "$ref" CMAKE_TOOLCHAIN_FILE)
  build_type=$(cache_value "$ref" CMAKE_BUILD_TYPE)
  product=$(cache_value "$ref" KET_PAYLOAD)
  [ -n "$product" ] || product=$(cache_value "$ref" KET_DEMO_PRODUCT_DIR)
  epoch=$(cache_value "$ref" KET_SOURCE_DATE_EPOCH)
  case $toolchain in
    */mingw-i686.cmake) ;;
    *) die "$ref is not the shipped program's build (toolchain '$toolchain')" ;;
  esac
  [ -n "$product" ] && [ -f "$product/list" ] || die "$ref: its product folder '$product' is gone"
  host_bin=$(cache_value "$ref" KET_HOST_BIN)
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT

  say "one more build of the shipped program in $extra (product $product)"
  rm -rf "$extra"
  mkdir -p "$(dirname "$extra")"
  local started=$SECONDS
  CCACHE_HASHDIR=1 configure "$extra" -DCMAKE_BUILD_TYPE="$build_type" \
    -DKET_PAYLOAD="$product" -DKET_SOURCE_DATE_EPOCH="$epoch"
  CCACHE_HASHDIR=1 cmake --build "$extra" --target KetroSetup -j "$jobs" >"$work/build.log" 2>&1 ||
    { tail -n 30 "$work/build.log" >&2; die "the build in $extra failed"; }
  say "built in $((SECONDS - started)) s"

  form "$ref/bin/KetroSetup.exe" "$work/a"
  form "$extra/bin/KetroSetup.exe" "$work/b"
  local status=0 name a b
  for name in KetroSetup.exe KetroSetup.exe.debug; do
    a=$(sha256sum <"$work/a/$name" | cut -d' ' -f1)
    b=$(sha256sum <"$work/b/$name" | cut -d' ' -f1)
    printf 'release: %-22s %s  %s\nrelease: %-22s %s  %s\n' "$name" "$a" "$ref" "" "$b" "$extra" >&2
    if [ "$a" != "$b" ]; then
      say "DIFFERENT: $name of $ref and of $extra (first differences:)"
      cmp -l "$work/a/$name" "$work/b/$name" | head -n 5 >&2 || true
      status=1
    fi
  done
  cmp -s "$ref/bin/KetroSetup.exe" "$extra/bin/KetroSetup.exe" ||
    { say "DIFFERENT: the unstripped programs"; status=1; }
  # Neither the tree's nor a build folder's own path may be left in what ships.
  local folder
  for folder in "$root" "$(realpath "$ref")" "$(realpath "$extra")"; do
    for name in KetroSetup.exe KetroSetup.exe.debug; do
      if grep -qF "$folder" "$work/b/$name"; then
        say "$name holds the folder name $folder"
        status=1
      fi
    done
  done

  # The PE32 release exe signed with a throwaway certificate: the signature verifies and the
  # resources (the payload among them) read back unchanged.
  openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Ketro release check" -days 1 \
    -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 || die "openssl req failed"
  SIGN_CERT=$work/cert.pem SIGN_KEY=$work/key.pem SIGN_PKCS12="" SIGN_PASS="" SIGN_CA="" \
    SIGN_TIMESTAMP_URL="" read_signing
  (sign "$work/b/KetroSetup.exe" "$work/signed.exe" 2>"$work/sign.log") ||
    { cat "$work/sign.log" >&2; status=1; }
  python3 "$root/tests/release/version_info_test.py" --exe "$work/signed.exe" \
    --header "$extra/generated/ket_version.h" --payload "$extra/payload.bin" --machine i386 ||
    status=1
  if [ $status -eq 0 ]; then
    say "reproducible: $ref and $extra give the same KetroSetup.exe ($(stat -c %s "$work/a/KetroSetup.exe") bytes)"
  fi
  rm -rf "$extra" "$extra.configure.log"
  return $status
}

case ${1:-} in
  build) cmd_build ;;
  check) cmd_check ;;
  form)
    [ $# -eq 3 ] || die "usage: release.sh form EXE DIR"
    form "$2" "$3"
    ;;
  sign)
    [ $# -eq 3 ] || die "usage: release.sh sign IN OUT"
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    read_signing
    sign "$2" "$3"
    ;;
  verify)
    [ $# -eq 3 ] || die "usage: release.sh verify EXE CERT"
    verify "$2" "$3" || exit 1
    ;;
  *)
    sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
    ;;
esac
