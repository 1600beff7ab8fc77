#!/usr/bin/env bash
# Writes the Windows package of kvrminiport.sys and its display driver
# kvrdisplay.dll: each image signed twice (a SHA-1 signature, which Vista and
# an un-updated Windows 7 check, and a nested SHA-256 one for systems with
# SHA-2 code-signing support), the INF, the signer's certificate as
# kvrminiport.cer to import on the test machine, the PDBs, and README.txt.
#
#   make_package.sh IMAGE PDB INF README OUT_DIR WORK_DIR [DLL DLL_PDB]
#
# The certificate and key come from the environment when KVR_SIGN_CERT and
# KVR_SIGN_KEY name them (PEM; KVR_SIGN_PASSWORD_FILE for an encrypted key,
# KVR_SIGN_CROSS_CERT for a cross-certificate to embed). Otherwise a test
# certificate is made with openssl once per build directory, under
# WORK_DIR, and its private key never leaves that directory. The unsigned
# image is left as it is.
set -euo pipefail

if [ $# -ne 6 ] && [ $# -ne 8 ]; then
    echo "usage: make_package.sh IMAGE PDB INF README OUT_DIR WORK_DIR [DLL DLL_PDB]" >&2
    exit 2
fi
image=$1 pdb=$2 inf=$3 readme=$4 out=$5 work=$6 dll=${7:-} dll_pdb=${8:-}
openssl=${OPENSSL:-openssl}
osslsigncode=${OSSLSIGNCODE:-osslsigncode}
mkdir -p "$out" "$work"

if [ -n "${KVR_SIGN_CERT:-}" ] || [ -n "${KVR_SIGN_KEY:-}" ]; then
    if [ -z "${KVR_SIGN_CERT:-}" ] || [ -z "${KVR_SIGN_KEY:-}" ]; then
        echo "make_package.sh: KVR_SIGN_CERT and KVR_SIGN_KEY go together" >&2
        exit 1
    fi
    cert=$KVR_SIGN_CERT
    key=$KVR_SIGN_KEY
else
    cert=$work/test-cert.pem
    key=$work/test-key.pem
    if [ ! -s "$cert" ] || [ ! -s "$key" ]; then
        # A self-signed code-signing certificate for test machines. Its own
        # signature is SHA-1, which every target's code integrity checks.
        cat >"$work/test-cert.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = ext
[dn]
CN = kvrminiport test certificate
[ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
CNF
        (umask 077 && "$openssl" req -x509 -newkey rsa:2048 -nodes -sha1 -days 3650 \
            -config "$work/test-cert.cnf" -keyout "$key.new" -out "$cert.new" 2>/dev/null)
        mv "$key.new" "$key"
        mv "$cert.new" "$cert"
    fi
fi

sign_options=(-certs "$cert" -key "$key" -n kvrminiport)
if [ -n "${KVR_SIGN_PASSWORD_FILE:-}" ]; then
    sign_options+=(-readpass "$KVR_SIGN_PASSWORD_FILE")
fi
if [ -n "${KVR_SIGN_CROSS_CERT:-}" ]; then
    sign_options+=(-ac "$KVR_SIGN_CROSS_CERT")
fi

staged=$work/package.new
rm -rf "$staged"
mkdir -p "$staged"
# sign UNSIGNED SIGNED: the SHA-1 signature, then the nested SHA-256 one.
sign() {
    "$osslsigncode" sign "${sign_options[@]}" -h sha1 -in "$1" -out "$work/sha1.bin" >/dev/null
    "$osslsigncode" sign "${sign_options[@]}" -nest -h sha256 -in "$work/sha1.bin" \
        -out "$2" >/dev/null
    rm -f "$work/sha1.bin"
}
sign "$image" "$staged/kvrminiport.sys"
if [ -n "$dll" ]; then
    sign "$dll" "$staged/kvrdisplay.dll"
    cp "$dll_pdb" "$staged/kvrdisplay.pdb"
fi
# The first certificate of the file is the signer's.
"$openssl" x509 -in "$cert" -outform der -out "$staged/kvrminiport.cer"
cp "$pdb" "$staged/kvrminiport.pdb"
cp "$inf" "$staged/kvrminiport.inf"
cp "$readme" "$staged/README.txt"
rm -rf "$out"
mv "$staged" "$out"
echo "package: $out"
