#!/usr/bin/env bash
# Release signing of the Windows updater with Debian's tools (gcab, osslsigncode, openssl,
# makensis). A release goes through these steps, in this order:
#
#   release-sign.sh submission OUT.cab
#       The driver package for Microsoft's attestation signing: a cabinet holding
#       vx_locator\vx_locator.inf (each driver package in a folder of its own, no file at the
#       root), signed with the vendor's EV certificate (SHA-256). Submit it in Partner Center's
#       hardware dashboard ("Submit new hardware"), asking for the Windows 10 signatures of
#       the INF's architectures (x64, x86, ARM64), and download the signed files when done.
#   release-sign.sh take-catalog RETURNED
#       Takes the catalog from what Microsoft returned (the .cat itself, or the folder or .zip
#       it came in) once it has checked it: its signature chains to VX_CATALOG_CA, its signer
#       is Microsoft's driver signing (Windows Hardware Driver Verification, 1.3.6.1.4.1.311.
#       10.3.5), it holds the digest of our vx_locator.inf, and the returned INF is ours.
#       The catalog goes beside the INF (VX_DRIVER_DIR), where the installer finds it.
#   release-sign.sh release EXE OUTDIR
#       Signs the updater EXE (Authenticode, SHA-256) into OUTDIR, builds the installer around
#       the signed updater and the driver package (INF and catalog), signs the installer, and
#       verifies both: OUTDIR/vx_fw_load.exe and OUTDIR/vx_fw_load-setup.exe. It refuses to
#       build without the catalog unless VX_NO_CATALOG=1 (operators then bind the driver in
#       Device Manager, README.txt).
#   release-sign.sh verify FILE...
#       osslsigncode verify of signed files against VX_SIGN_CA.
#   release-sign.sh selftest EXE
#       All of the above with throw-away certificates made on the spot (the key once in a
#       file, once in a SoftHSM token) and a stand-in for the catalog Microsoft returns (CI:
#       scripts/test.sh windows).
#
# The signing key, by environment:
#   VX_SIGN_CERT           the signing certificate with its chain (PEM), as the CA issued it
#   VX_SIGN_KEY            its private key: a key file, or a PKCS#11 URI (pkcs11:...) of a token
#   VX_SIGN_PKCS11_MODULE  the token's PKCS#11 module (for instance a .so of its vendor), with a
#                          pkcs11: key; osslsigncode reaches it through OpenSSL's pkcs11
#                          engine (Debian: libengine-pkcs11-openssl)
#   VX_SIGN_PASS_FILE      a file holding the key file's password, when it has one
#   VX_SIGN_TIMESTAMP      the CA's RFC 3161 time-stamping URL; without it a signature is no
#                          longer valid once the certificate has expired
#   VX_SIGN_CA             CA bundle to verify our signatures with (default: the system's)
#   VX_CATALOG_CA          CA bundle the returned catalog must chain to: Microsoft's root
#                          (Microsoft Root Certificate Authority 2010), in PEM
#   VX_DRIVER_DIR          the folder of vx_locator.inf, OPERATOR.txt and the catalog
#                          (default: this script's folder)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
driver_dir="${VX_DRIVER_DIR:-$here}"
readonly kInf=vx_locator.inf kCat=vx_locator.cat
readonly kDriverEku=1.3.6.1.4.1.311.10.3.5  # Windows Hardware Driver Verification (.1: attested)
readonly kProduct="Valtor Firmware Updater"
readonly kSoftHsmModule=/usr/lib/softhsm/libsofthsm2.so  # the selftest's token
tmp=""  # this run's scratch folder, removed at exit
trap '[[ -z "$tmp" ]] || rm -rf "$tmp"' EXIT

die() {
  echo "release-sign: $*" >&2
  exit 1
}
usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
  exit "${1:-0}"
}
need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || die "$tool is missing (scripts/deps.sh windows installs it)"
  done
}

# Authenticode signature of IN into OUT with the vendor's key.
sign_file() {
  local in="$1" out="$2" args=(-h sha256 -n "$kProduct")
  [[ -n "${VX_SIGN_CERT:-}" && -n "${VX_SIGN_KEY:-}" ]] || die "VX_SIGN_CERT and VX_SIGN_KEY name the signing certificate and key"
  if [[ "$VX_SIGN_KEY" == pkcs11:* ]]; then
    [[ -n "${VX_SIGN_PKCS11_MODULE:-}" ]] || die "a pkcs11: key needs VX_SIGN_PKCS11_MODULE, the token's module"
    args+=(-pkcs11module "$VX_SIGN_PKCS11_MODULE" -certs "$VX_SIGN_CERT" -key "$VX_SIGN_KEY")
  else
    args+=(-certs "$VX_SIGN_CERT" -key "$VX_SIGN_KEY")
  fi
  [[ -n "${VX_SIGN_PASS_FILE:-}" ]] && args+=(-readpass "$VX_SIGN_PASS_FILE")
  if [[ -n "${VX_SIGN_TIMESTAMP:-}" ]]; then
    args+=(-ts "$VX_SIGN_TIMESTAMP")
  else
    echo "release-sign: $(basename "$out") has no time stamp (VX_SIGN_TIMESTAMP)" >&2
  fi
  rm -f "$out"
  osslsigncode sign "${args[@]}" -in "$in" -out "$out" >/dev/null || die "signing $in failed"
}

verify_files() {
  local f report ca=()
  [[ -n "${VX_SIGN_CA:-}" ]] && ca=(-CAfile "$VX_SIGN_CA" -TSA-CAfile "$VX_SIGN_CA")
  for f in "$@"; do
    report="$(osslsigncode verify "${ca[@]}" -in "$f" 2>&1)" ||
      die "the signature of $f does not verify: $(tail -n 5 <<<"$report")"
    echo "verified: $f ($(grep -m1 -o 'Subject: .*' <<<"$report" || echo signed))"
  done
}

# Whether FILE holds the bytes given in hexadecimal.
holds_bytes() {
  perl -e 'open(my $f, "<:raw", $ARGV[0]) or exit 2; local $/; my $d = <$f>;
           exit(index($d, pack("H*", $ARGV[1])) >= 0 ? 0 : 1)' "$1" "$2"
}

submission() {
  local out="$1" stage
  need gcab osslsigncode
  [[ -f "$driver_dir/$kInf" ]] || die "no $driver_dir/$kInf"
  tmp="$(mktemp -d)"
  stage="$tmp"
  mkdir "$stage/vx_locator"
  cp "$driver_dir/$kInf" "$stage/vx_locator/"
  (cd "$stage" && gcab --create --zip "$stage/unsigned.cab" "vx_locator/$kInf")
  sign_file "$stage/unsigned.cab" "$out"
  [[ "$(gcab --list "$out")" == "vx_locator\\$kInf" ]] || die "$out does not hold vx_locator\\$kInf alone"
  verify_files "$out"
  echo "submission: $out (submit it for attestation signing, then take the catalog from what comes back)"
}

take_catalog() {
  local returned="$1" work cat inf signer
  need osslsigncode openssl perl
  [[ -n "${VX_CATALOG_CA:-}" ]] || die "VX_CATALOG_CA names the CA bundle the catalog must chain to (Microsoft's root)"
  tmp="$(mktemp -d)"
  work="$tmp"
  if [[ -d "$returned" ]]; then
    cp -r "$returned" "$work/returned"
  elif [[ "$returned" == *.zip ]]; then
    need unzip
    unzip -q "$returned" -d "$work/returned"
  else
    mkdir "$work/returned"
    cp "$returned" "$work/returned/$kCat"
  fi
  cat="$(find "$work/returned" -iname "$kCat" | head -n 1)"
  [[ -n "$cat" ]] || die "no $kCat in $returned"
  inf="$(find "$work/returned" -iname "$kInf" | head -n 1)"
  if [[ -n "$inf" ]]; then
    cmp -s "$inf" "$driver_dir/$kInf" || die "the returned $kInf is not $driver_dir/$kInf: submit this INF again"
  fi
  osslsigncode verify -CAfile "$VX_CATALOG_CA" -TSA-CAfile "$VX_CATALOG_CA" -in "$cat" >"$work/verify.txt" 2>&1 ||
    die "the catalog's signature does not verify against $VX_CATALOG_CA: $(tail -n 5 "$work/verify.txt")"
  openssl cms -verify -noverify -inform DER -in "$cat" -signer "$work/signer.pem" -out /dev/null 2>/dev/null ||
    die "no signer in the catalog"
  signer="$(openssl x509 -in "$work/signer.pem" -noout -subject -ext extendedKeyUsage)"
  grep -q -F "$kDriverEku" <<<"$signer" || die "the catalog is not signed for drivers (no $kDriverEku): $signer"
  holds_bytes "$cat" "$(sha256sum "$driver_dir/$kInf" | cut -c1-64)" ||
    holds_bytes "$cat" "$(sha1sum "$driver_dir/$kInf" | cut -c1-40)" ||
    die "the catalog does not hold the digest of $driver_dir/$kInf: it was made for another INF"
  cp "$cat" "$driver_dir/$kCat"
  echo "catalog: $driver_dir/$kCat ($(head -n 1 <<<"$signer"))"
}

release() {
  local exe="$1" out="$2" log
  need osslsigncode makensis
  [[ -f "$exe" ]] || die "no $exe"
  if [[ ! -f "$driver_dir/$kCat" ]]; then
    [[ "${VX_NO_CATALOG:-}" == 1 ]] || die "no $driver_dir/$kCat: take the signed catalog first (or VX_NO_CATALOG=1)"
    echo "release-sign: building the installer without a signed catalog" >&2
  fi
  mkdir -p "$out"
  sign_file "$exe" "$out/vx_fw_load.exe"
  log="$out/makensis.log"
  makensis -V4 -DEXE="$out/vx_fw_load.exe" -DSRCDIR="$driver_dir" -DOUTFILE="$out/unsigned-setup.exe" \
    "$here/vx_fw_load.nsi" >"$log" 2>&1 || die "makensis failed: $(tail -n 5 "$log")"
  sign_file "$out/unsigned-setup.exe" "$out/vx_fw_load-setup.exe"
  rm -f "$out/unsigned-setup.exe"
  verify_files "$out/vx_fw_load.exe" "$out/vx_fw_load-setup.exe"
}

# A throw-away CA in DIR/NAME: NAME.pem, NAME.key.
make_ca() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$2 (throw-away)" -keyout "$1/$2.key" -out "$1/$2.pem" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
}
# make_leaf DIR NAME CA EKU: a code-signing certificate NAME issued by CA; DIR/NAME.chain.pem
# holds it with its CA.
make_leaf() {
  local dir="$1" name="$2" ca="$3"
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$4" >"$dir/$name.ext"
  openssl req -newkey rsa:2048 -nodes -subj "/O=Quenby Ltd/CN=$name (throw-away)" -keyout "$dir/$name.key" \
    -out "$dir/$name.csr" 2>/dev/null
  openssl x509 -req -in "$dir/$name.csr" -CA "$dir/$ca.pem" -CAkey "$dir/$ca.key" -CAcreateserial -days 2 \
    -extfile "$dir/$name.ext" -out "$dir/$name.pem" 2>/dev/null
  cat "$dir/$name.pem" "$dir/$ca.pem" >"$dir/$name.chain.pem"
  cp "$dir/$ca.pem" "$dir/$name.issuer.pem"
}

# make_catalog DIR INF SIGNER OUT: a catalog as Microsoft's signing returns one (a PKCS#7
# signed certificate trust list with the INF's name and SHA-1 digest), signed by SIGNER.
make_catalog() {
  local dir="$1" inf="$2" signer="$3" out="$4" sha1 tag name
  sha1="$(sha1sum "$inf" | cut -c1-40)"
  tag="$(printf '%s' "${sha1^^}" | iconv -t UTF-16LE | od -An -tx1 -v | tr -d ' \n')"
  name="$(printf '%s\0' "$(basename "$inf")" | iconv -t UTF-16LE | od -An -tx1 -v | tr -d ' \n')"
  cat >"$dir/ctl.cnf" <<EOF
asn1=SEQUENCE:ctl
[ctl]
usage=SEQUENCE:usage
id=FORMAT:HEX,OCTETSTRING:00112233445566778899AABBCCDDEEFF
time=UTCTIME:$(date -u +%y%m%d%H%M%SZ)
alg=SEQUENCE:member_alg
subjects=SEQUENCE:subjects
[usage]
oid=OID:1.3.6.1.4.1.311.12.1.1
[member_alg]
oid=OID:1.3.6.1.4.1.311.12.1.2
null=NULL
[subjects]
inf=SEQUENCE:inf_subject
[inf_subject]
tag=FORMAT:HEX,OCTETSTRING:$tag
attrs=SET:inf_attrs
[inf_attrs]
name=SEQUENCE:name_attr
digest=SEQUENCE:digest_attr
[name_attr]
oid=OID:1.3.6.1.4.1.311.12.2.1
values=SET:name_values
[name_values]
v=SEQUENCE:name_value
[name_value]
n=BMPSTRING:File
flags=INTEGER:0x10010001
value=FORMAT:HEX,OCTETSTRING:$name
[digest_attr]
oid=OID:1.3.6.1.4.1.311.2.1.4
values=SET:digest_values
[digest_values]
v=SEQUENCE:indirect
[indirect]
data=SEQUENCE:spc_data
digest=SEQUENCE:digest_info
[spc_data]
oid=OID:1.3.6.1.4.1.311.2.1.25
[digest_info]
alg=SEQUENCE:sha1_alg
digest=FORMAT:HEX,OCTETSTRING:$sha1
[sha1_alg]
oid=OID:sha1
null=NULL
EOF
  openssl asn1parse -genconf "$dir/ctl.cnf" -noout -out "$dir/ctl.der" >/dev/null
  openssl cms -sign -binary -nodetach -nosmimecap -econtent_type 1.3.6.1.4.1.311.10.1 -md sha256 \
    -in "$dir/ctl.der" -signer "$dir/$signer.pem" -inkey "$dir/$signer.key" -certfile "$dir/$signer.issuer.pem" \
    -outform DER -out "$out"
}

# Expects the command to fail with a message that holds TEXT.
refused() {
  local text="$1" err
  shift
  if err="$("$@" 2>&1)"; then die "selftest: not refused: $*"; fi
  grep -q -F -- "$text" <<<"$err" || die "selftest: refused for another reason than \"$text\": $err"
}

selftest() {
  local exe="$1" t
  need gcab osslsigncode openssl makensis perl iconv softhsm2-util
  [[ -f "$kSoftHsmModule" ]] || die "no $kSoftHsmModule (scripts/deps.sh windows installs softhsm2)"
  [[ -f "$exe" ]] || die "no $exe"
  tmp="$(mktemp -d)"
  t="$tmp"
  # The vendor's code-signing certificate, and a stand-in for Microsoft's driver signing.
  make_ca "$t" vendor-root
  make_leaf "$t" vendor vendor-root codeSigning
  make_ca "$t" driver-root
  make_leaf "$t" driver driver-root "codeSigning,$kDriverEku,$kDriverEku.1"
  make_leaf "$t" imposter driver-root codeSigning
  mkdir "$t/driver" "$t/returned"
  cp "$here/$kInf" "$here/OPERATOR.txt" "$t/driver/"
  export VX_DRIVER_DIR="$t/driver" VX_SIGN_CERT="$t/vendor.chain.pem" VX_SIGN_KEY="$t/vendor.key"
  export VX_SIGN_CA="$t/vendor-root.pem" VX_CATALOG_CA="$t/driver-root.pem"
  unset VX_SIGN_PKCS11_MODULE VX_SIGN_PASS_FILE VX_SIGN_TIMESTAMP VX_NO_CATALOG
  local self="$here/release-sign.sh"

  "$self" submission "$t/vx_locator.cab"
  mkdir "$t/cab" && gcab --extract --directory "$t/cab" "$t/vx_locator.cab"
  cmp "$t/cab/vx_locator/$kInf" "$here/$kInf" || die "selftest: the cabinet's INF is not ours"

  # What a catalog must be before it is taken.
  make_catalog "$t" "$t/driver/$kInf" imposter "$t/imposter.cat"
  refused "not signed for drivers" "$self" take-catalog "$t/imposter.cat"
  sed 's/^DriverVer .*/DriverVer   = 01\/01\/2020,0.9.0.0/' "$t/driver/$kInf" >"$t/other.inf"
  make_catalog "$t" "$t/other.inf" driver "$t/other.cat"
  refused "made for another INF" "$self" take-catalog "$t/other.cat"
  make_catalog "$t" "$t/driver/$kInf" driver "$t/returned/$kCat"
  refused "does not verify" env VX_CATALOG_CA="$t/vendor-root.pem" "$self" take-catalog "$t/returned"
  cp "$t/other.inf" "$t/returned/$kInf"
  refused "submit this INF again" "$self" take-catalog "$t/returned"
  cp "$t/driver/$kInf" "$t/returned/$kInf"
  refused "no $t/driver/$kCat" "$self" release "$exe" "$t/out"
  "$self" take-catalog "$t/returned"

  "$self" release "$exe" "$t/out"
  grep -q -F "File: \"$kCat\"" "$t/out/makensis.log" || die "selftest: the installer does not hold the catalog"
  # The same with the key in a token (PKCS#11), as a release may keep it: a SoftHSM one.
  mkdir "$t/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$t/tokens" >"$t/softhsm2.conf"
  export SOFTHSM2_CONF="$t/softhsm2.conf"
  softhsm2-util --init-token --free --label vx-test --pin 1234 --so-pin 12345678 >/dev/null
  openssl pkcs8 -topk8 -nocrypt -in "$t/vendor.key" -out "$t/vendor.p8"
  softhsm2-util --import "$t/vendor.p8" --token vx-test --label vendor --id 01 --pin 1234 >/dev/null
  VX_SIGN_KEY="pkcs11:token=vx-test;object=vendor;type=private;pin-value=1234" \
    VX_SIGN_PKCS11_MODULE="$kSoftHsmModule" "$self" release "$exe" "$t/out-pkcs11"

  cp "$t/out/vx_fw_load.exe" "$t/tampered.exe"
  printf 'X' | dd of="$t/tampered.exe" bs=1 seek=4096 conv=notrunc 2>/dev/null
  refused "does not verify" "$self" verify "$t/tampered.exe"
  echo "selftest: submission, catalog checks, signed updater and installer: all as expected"
}

cmd="${1:-}"
[[ $# -ge 1 ]] && shift
case "$cmd" in
  submission) [[ $# -eq 1 ]] || usage 2; submission "$1" ;;
  take-catalog) [[ $# -eq 1 ]] || usage 2; take_catalog "$1" ;;
  release) [[ $# -eq 2 ]] || usage 2; release "$1" "$2" ;;
  verify) [[ $# -ge 1 ]] || usage 2; need osslsigncode; verify_files "$@" ;;
  selftest) [[ $# -eq 1 ]] || usage 2; selftest "$1" ;;
  -h | --help | help) usage ;;
  *) usage 2 ;;
esac
