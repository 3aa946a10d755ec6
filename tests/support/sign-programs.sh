#!/usr/bin/env bash
# Usage: sign-programs.sh OUTDIR PROGRAM.exe
#
# Makes, in OUTDIR, the programs that the tests of the signature check feed
# to WinVerifyTrust: PROGRAM signed by two throwaway signers, unsigned, with
# its code changed after signing, and with an undecodable signature; plus
# each signer's certificate and SHA-1 thumbprint, for the pin tests.
# Everything is made anew on each run with the real tools (openssl and
# osslsigncode), so OUTDIR may already hold an earlier run's files.
set -euo pipefail

if [ "$#" -ne 2 ]; then
    echo "usage: $0 OUTDIR PROGRAM.exe" >&2
    exit 2
fi
out=$1
program=$2
[ -f "$program" ] || { echo "$0: no such program: $program" >&2; exit 2; }
mkdir -p "$out"

# Little-endian unsigned integers and single bytes at a file offset.
u16() { od -An --endian=little -tu2 -j "$2" -N2 "$1" | tr -d ' \n'; }
u32() { od -An --endian=little -tu4 -j "$2" -N4 "$1" | tr -d ' \n'; }
u8()  { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' \n'; }

# Inverts the byte at offset $2 of file $1, in place.
flip() {
    local b
    b=$(u8 "$1" "$2")
    # shellcheck disable=SC2059 # the format is the escaped byte itself
    printf "$(printf '\\%03o' $((b ^ 0xFF)))" |
        dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# The openssl settings live in OUTDIR (-config), so that the machine's own
# openssl.cnf plays no part in what the certificates hold.
cat > "$out/signer.cnf" <<'EOF'
[req]
distinguished_name = dn
x509_extensions = codesign
prompt = no
[dn]
[codesign]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
EOF

for s in a b; do
    S=${s^^}
    # notBefore is now, so the certificate is valid as soon as it exists.
    openssl req -config "$out/signer.cnf" -x509 -newkey rsa:2048 -nodes \
        -sha256 -days 30 -subj "/CN=Quillbrook Test Signer $S" \
        -keyout "$out/signer-$s.key" -out "$out/signer-$s.crt" 2>/dev/null
    # The thumbprint is the SHA-1 of the DER encoding, as Windows shows it.
    openssl x509 -in "$out/signer-$s.crt" -outform DER | sha1sum |
        cut -c1-40 | tr a-f A-F > "$out/thumbprint-$s.txt"
    # osslsigncode will not write over an existing file; no -t: no network.
    rm -f "$out/signed-$s.exe"
    osslsigncode sign -certs "$out/signer-$s.crt" -key "$out/signer-$s.key" \
        -h sha256 -n "Quillbrook test program" \
        -in "$program" -out "$out/signed-$s.exe" > /dev/null
done

cp "$program" "$out/unsigned.exe"

# PE layout: e_lfanew at 0x3C gives the "PE\0\0" signature; the COFF header
# after it holds the section count (+6) and the optional header size (+20);
# the section table follows the optional header, 40 bytes a section.
pe=$(u32 "$out/signed-a.exe" 60)
nsect=$(u16 "$out/signed-a.exe" $((pe + 6)))
opt=$((pe + 24))
sect=$((opt + $(u16 "$out/signed-a.exe" $((pe + 20)))))

# tampered.exe: one byte inverted in the middle of .text. Section contents
# are all covered by the Authenticode digest (unlike the checksum field and
# the certificate table), so the signature no longer matches the file.
text_at=
for ((i = 0; i < nsect; i++)); do
    h=$((sect + 40 * i))
    if [ "$(dd if="$out/signed-a.exe" bs=1 skip="$h" count=8 status=none |
            tr -d '\0')" = .text ]; then
        text_at=$(( $(u32 "$out/signed-a.exe" $((h + 20))) +
                    $(u32 "$out/signed-a.exe" $((h + 16))) / 2 ))
    fi
done
[ -n "$text_at" ] || { echo "$0: $program has no .text section" >&2; exit 1; }
cp "$out/signed-a.exe" "$out/tampered.exe"
flip "$out/tampered.exe" "$text_at"

# corrupt-signature.exe: the certificate table (data directory 4, whose
# "address" is a file offset) holds a WIN_CERTIFICATE: 8 bytes of header,
# then the PKCS#7 DER. Inverting its first byte, the outer SEQUENCE tag,
# leaves a blob that no DER decoder accepts.
case $(u16 "$out/signed-a.exe" "$opt") in
    267) dirs=$((opt + 96)) ;;   # 0x10b, PE32
    523) dirs=$((opt + 112)) ;;  # 0x20b, PE32+
    *) echo "$0: unknown optional header in $program" >&2; exit 1 ;;
esac
certtab=$(u32 "$out/signed-a.exe" $((dirs + 4 * 8)))
cp "$out/signed-a.exe" "$out/corrupt-signature.exe"
flip "$out/corrupt-signature.exe" $((certtab + 8))
