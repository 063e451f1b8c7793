#!/usr/bin/env bash
# Makes a throw-away certificate authority with a code-signing and a
# time-stamping certificate issued by it, for the signing tests only:
#   bash tests/signing/make-ca.sh OUTDIR
# OUTDIR receives ca.pem (the authority, for -CAfile), codesign.pem and
# codesign.key (the signer, RSA, unencrypted PEM), codesign.p12 with its
# password in codesign.pass, tsa.pem and tsa.key (a time-stamping
# certificate of the same authority), and other-ca.pem, an authority that
# issued nothing. Keys live only there; OUTDIR belongs in a temporary folder.
set -euo pipefail
[ $# = 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
mkdir -p "$1"
cd "$1"
umask 077

authority() {   # NAME SUBJECT
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -keyout "$1.key" -out "$1.pem" \
    -subj "$2" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}
authority ca "/O=TarskSoft Test/CN=Throwaway Test Authority"
authority other-ca "/O=Elsewhere Test/CN=Unrelated Test Authority"

issue() {       # NAME SUBJECT EXTENDED-KEY-USAGE
  openssl req -newkey rsa:2048 -nodes -sha256 -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
  printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=$3" "subjectKeyIdentifier=hash" "authorityKeyIdentifier=keyid" >"$1.ext"
  openssl x509 -req -sha256 -days 30 -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial \
    -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}
issue codesign "/O=TarskSoft/CN=TarskSoft Test Code Signing" codeSigning
issue tsa "/O=TarskSoft Test/CN=Test Time Stamping" critical,timeStamping

# The same signer as PKCS#12, protected by a password kept in a file.
openssl rand -hex 16 >codesign.pass
openssl pkcs12 -export -inkey codesign.key -in codesign.pem -certfile ca.pem \
  -passout file:codesign.pass -out codesign.p12
rm -f ca.srl
