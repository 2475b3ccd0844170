#!/usr/bin/env bash
# Signs setup.exe with Authenticode (SHA-256), so that Windows names its publisher when the
# program asks for administrator rights. The input is never changed: the signed copy is written
# beside OUT under a temporary name and renamed into place only once it is complete.
set -euo pipefail

usage() {
  cat >&2 <<'EOF'
usage: tools/sign.sh CERT KEY [IN [OUT]]

  CERT  code-signing certificate, PEM or DER (PEM may carry the chain, signing certificate first)
  KEY   its private key, PEM or DER
  IN    the unsigned program (default: build/win32/setup.exe)
  OUT   the signed copy (default: IN with "-signed" before ".exe"); never IN itself

environment:
  KEY_PASS_FILE    file holding the password of an encrypted KEY
  TIMESTAMP_URL    RFC 3161 timestamp server, e.g. TIMESTAMP_URL=http://timestamp.example/ ;
                   unset (the default) signs without a timestamp, which leaves the signature
                   valid only while the certificate is
  SIGN_DESCRIPTION program name Windows shows when it asks for administrator rights, plain
                   ASCII (default: none, and Windows shows the file name)
  SIGN_URL         URL shown with it (default: none)

check a signed file:
  osslsigncode verify -in OUT -CAfile ROOT_CA.pem
EOF
}

fail() {
  echo "sign.sh: $*" >&2
  exit 1
}

[ $# -ge 2 ] && [ $# -le 4 ] || { usage; exit 2; }
for tool in osslsigncode openssl; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (tools/install-deps.sh installs it)"
done

root=$(cd "$(dirname "$0")/.." && pwd)
cert=$1
key=$2
in=${3:-$root/build/win32/setup.exe}
if [ $# -ge 4 ]; then
  out=$4
elif [[ $in == *.exe ]]; then
  out=${in%.exe}-signed.exe
else
  out=$in-signed
fi

for file in "$cert" "$key" "$in"; do
  [ -f "$file" ] && [ -r "$file" ] || fail "cannot read $file: no such file"
done
[ -d "$(dirname "$out")" ] || fail "cannot write $out: no such folder"
# osslsigncode stores the name as an ASCII string; a Japanese Windows would show UTF-8 garbled.
! printf %s "${SIGN_DESCRIPTION:-}${SIGN_URL:-}" | LC_ALL=C grep -q '[^ -~]' \
  || fail "SIGN_DESCRIPTION and SIGN_URL must be plain ASCII"
[ "$(realpath -m "$in")" != "$(realpath -m "$out")" ] || fail "OUT must not be IN: the unsigned file is kept"
pass=(-passin pass:)
sign_pass=()
if [ -n "${KEY_PASS_FILE:-}" ]; then
  [ -r "$KEY_PASS_FILE" ] || fail "cannot read KEY_PASS_FILE $KEY_PASS_FILE"
  pass=(-passin "file:$KEY_PASS_FILE")
  sign_pass=(-readpass "$KEY_PASS_FILE")
fi

# Prints the 4 bytes at an offset of a file as an unsigned little-endian number.
read_u32() {
  od -An -tu4 -j "$2" -N4 --endian=little "$1" 2>/dev/null | tr -d ' '
}

[ "$(head -c2 "$in")" = MZ ] || fail "$in is not a Windows program (no MZ header)"
pe=$(read_u32 "$in" 60)
[ -n "$pe" ] && [ "$(od -An -c -j "$pe" -N4 "$in" 2>/dev/null | tr -d ' ')" = 'PE\0\0' ] \
  || fail "$in is not a Windows program (no PE header)"
case $(od -An -tx2 -j $((pe + 24)) -N2 --endian=little "$in" 2>/dev/null | tr -d ' ') in
  010b) security=$((pe + 24 + 128)) ;;  # PE32: data directory 4 of the optional header
  020b) security=$((pe + 24 + 144)) ;;  # PE32+
  *) fail "$in is not a Windows program (unknown optional header)" ;;
esac
# Signing a signed file would stack a second signature on the first: start from the unsigned build.
[ "$(read_u32 "$in" $((security + 4)))" = 0 ] \
  || fail "$in is already signed; sign the unsigned build (or: osslsigncode remove-signature)"

# osslsigncode would sign with a key of another certificate and leave a signature nobody can verify.
public_key() {  # FILE, then the openssl command that reads it
  local file=$1
  shift
  "$@" -in "$file" -inform PEM 2>/dev/null || "$@" -in "$file" -inform DER 2>/dev/null
}
cert_key=$(public_key "$cert" openssl x509 -noout -pubkey) || fail "$cert is not a certificate (PEM or DER)"
key_key=$(public_key "$key" openssl pkey -pubout "${pass[@]}") \
  || fail "cannot read the private key $key (PEM or DER; set KEY_PASS_FILE if it is encrypted)"
[ "$cert_key" = "$key_key" ] || fail "the key $key does not belong to the certificate $cert"

timestamp=()
[ -z "${TIMESTAMP_URL:-}" ] || timestamp=(-ts "$TIMESTAMP_URL")
about=()
[ -z "${SIGN_DESCRIPTION:-}" ] || about+=(-n "$SIGN_DESCRIPTION")
[ -z "${SIGN_URL:-}" ] || about+=(-i "$SIGN_URL")

tmp=$(mktemp "$(dirname "$out")/.$(basename "$out").XXXXXX") || fail "cannot write in $(dirname "$out")"
trap 'rm -f -- "$tmp"' EXIT
trap 'exit 1' INT TERM HUP
# osslsigncode will not write over an existing file.
rm -f -- "$tmp"
osslsigncode sign -certs "$cert" -key "$key" "${sign_pass[@]}" -h sha256 \
  "${about[@]}" "${timestamp[@]}" -in "$in" -out "$tmp" >/dev/null \
  || fail "osslsigncode could not sign $in (see above)"
chmod --reference="$in" -- "$tmp"
mv -f -- "$tmp" "$out"
trap - EXIT
echo "signed: $out"
