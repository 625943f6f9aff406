#!/usr/bin/env bash
# Makes PKCS#12 files that a hostile sender could hand a user, for the tests to make at
# run time (keys and salts differ each run). Needs openssl 3 and xxd.
#
#   hostile_pfx.sh swapped-key OUT CERT_DER KEY_PEM PASSWORD [OTHER_CERT_DER]
#       CERT_DER's certificate and the key KEY_PEM (not that certificate's) under one
#       localKeyId (01020304), then OTHER_CERT_DER without one; the key shrouded with
#       PBES2/AES-256 and a SHA-1 MAC, both keyed from PASSWORD with 2048 iterations:
#       a well-formed file that openssl reads.
#   hostile_pfx.sh counts OUT MAC SAFE KEY [nested]
#       The iteration counts a file claims, each "-" to leave that part out: a MAC of
#       MAC iterations, an encrypted safe whose PBES2/PBKDF2 takes SAFE, and a data safe
#       with a shrouded key bag (PKCS#12 triple DES) taking KEY, inside a safeContents
#       bag with "nested". Digests and ciphertexts are zeros: only the counts matter.
#   hostile_pfx.sh hidden OUT PASSWORD KEY
#       No MAC; one safe truly encrypted with PASSWORD (PBES2, PBKDF2 2048 iterations,
#       AES-256-CBC) holding a shrouded key bag whose count is KEY: the count shows only
#       once the safe is decrypted.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=fixtures/pkcs12_pieces.sh
source "$here/fixtures/pkcs12_pieces.sh"

octets() { prim "FORMAT:HEX,OCTETSTRING:$1"; }
zeros() { head -c "$1" /dev/zero | xxd -p | tr -d '\n'; }
# pbes2 OUT COUNT SALT_HEX IV_HEX: AlgorithmIdentifier of PBES2 with PBKDF2 (HMAC-SHA-256)
# and AES-256-CBC (RFC 8018 appendix A.4).
pbes2() {
    prim OID:hmacWithSHA256 >"$work/b_prf_oid.der"
    prim NULL >"$work/b_null.der"
    tlv 30 "$work/b_prf_oid.der" "$work/b_null.der" >"$work/b_prf.der"
    octets "$3" >"$work/b_salt.der"
    prim "INTEGER:$2" >"$work/b_count.der"
    tlv 30 "$work/b_salt.der" "$work/b_count.der" "$work/b_prf.der" >"$work/b_kdf_params.der"
    prim OID:1.2.840.113549.1.5.12 >"$work/b_kdf_oid.der"
    tlv 30 "$work/b_kdf_oid.der" "$work/b_kdf_params.der" >"$work/b_kdf.der"
    prim OID:aes-256-cbc >"$work/b_enc_oid.der"
    octets "$4" >"$work/b_iv.der"
    tlv 30 "$work/b_enc_oid.der" "$work/b_iv.der" >"$work/b_enc.der"
    tlv 30 "$work/b_kdf.der" "$work/b_enc.der" >"$work/b_params.der"
    prim OID:1.2.840.113549.1.5.13 >"$work/b_oid.der"
    tlv 30 "$work/b_oid.der" "$work/b_params.der" >"$1"
}
# encrypted_content OUT ALG_DER CIPHERTEXT_FILE: ContentInfo { encryptedData,
# [0] EncryptedData { 0, EncryptedContentInfo { data, ALG, [0] IMPLICIT ciphertext } } }
encrypted_content() {
    prim OID:1.2.840.113549.1.7.1 >"$work/e_data.der"
    tlv 80 "$3" >"$work/e_ct.der"
    tlv 30 "$work/e_data.der" "$2" "$work/e_ct.der" >"$work/e_info.der"
    prim INTEGER:0 >"$work/e_version.der"
    tlv 30 "$work/e_version.der" "$work/e_info.der" >"$work/e_encdata.der"
    tlv a0 "$work/e_encdata.der" >"$work/e_explicit.der"
    prim OID:1.2.840.113549.1.7.6 >"$work/e_oid.der"
    tlv 30 "$work/e_oid.der" "$work/e_explicit.der" >"$1"
}
# zero_key_bag OUT COUNT: a shrouded key bag, PKCS#12 PBE triple DES taking COUNT, whose
# encrypted key is zeros.
zero_key_bag() {
    octets "$(zeros 8)" >"$work/z_salt.der"
    prim "INTEGER:$2" >"$work/z_count.der"
    tlv 30 "$work/z_salt.der" "$work/z_count.der" >"$work/z_params.der"
    prim OID:1.2.840.113549.1.12.1.3 >"$work/z_oid.der"
    tlv 30 "$work/z_oid.der" "$work/z_params.der" >"$work/z_alg.der"
    octets "$(zeros 16)" >"$work/z_key.der"
    tlv 30 "$work/z_alg.der" "$work/z_key.der" >"$work/z_epki.der"
    keybag "$1" 1.2.840.113549.1.12.10.1.2 "$work/z_epki.der"
}
# pfx_of OUT AUTHSAFE_DER [MACDATA_DER]: PFX { 3, data(AUTHSAFE), MACDATA }
pfx_of() {
    data_content "$work/f_ci.der" "$2"
    prim INTEGER:3 >"$work/f_version.der"
    tlv 30 "$work/f_version.der" "$work/f_ci.der" ${3:+"$3"} >"$1"
}

command=${1:-}
case "$command" in
swapped-key)
    out=$2 cert=$3 key=$4 password=$5 other=${6:-}
    attribute "$work/lk.der" 1.2.840.113549.1.9.21 FORMAT:HEX,OCTETSTRING:01020304
    openssl pkcs8 -topk8 -v2 aes-256-cbc -iter 2048 -in "$key" -passout "pass:$password" \
        -outform DER -out "$work/epki.der"
    certbag "$work/cert_bag.der" "$cert" "$work/lk.der"
    bags=("$work/cert_bag.der")
    if [ -n "$other" ]; then
        certbag "$work/other_bag.der" "$other"
        bags+=("$work/other_bag.der")
    fi
    keybag "$work/key_bag.der" 1.2.840.113549.1.12.10.1.2 "$work/epki.der" "$work/lk.der"
    tlv 30 "${bags[@]}" >"$work/certs.der"
    tlv 30 "$work/key_bag.der" >"$work/keys.der"
    data_content "$work/ci_certs.der" "$work/certs.der"
    data_content "$work/ci_keys.der" "$work/keys.der"
    tlv 30 "$work/ci_certs.der" "$work/ci_keys.der" >"$work/authsafe.der"
    pfx "$out" "$(bmp_hex "$password")" "$work/authsafe.der"
    ;;
counts)
    out=$2 mac=$3 safe=$4 key=$5 nested=${6:-}
    safes=()
    if [ "$safe" != - ]; then
        pbes2 "$work/safe_alg.der" "$safe" "$(zeros 8)" "$(zeros 16)"
        head -c 32 /dev/zero >"$work/safe_ct.der"
        encrypted_content "$work/safe_ci.der" "$work/safe_alg.der" "$work/safe_ct.der"
        safes+=("$work/safe_ci.der")
    fi
    if [ "$key" != - ]; then
        zero_key_bag "$work/key_bag.der" "$key"
        if [ "$nested" = nested ]; then
            tlv 30 "$work/key_bag.der" >"$work/inner.der"
            keybag "$work/key_bag.der" 1.2.840.113549.1.12.10.1.6 "$work/inner.der"
        fi
        tlv 30 "$work/key_bag.der" >"$work/keys.der"
        data_content "$work/keys_ci.der" "$work/keys.der"
        safes+=("$work/keys_ci.der")
    fi
    tlv 30 "${safes[@]}" >"$work/authsafe.der"
    macdata=
    if [ "$mac" != - ]; then
        prim OID:sha1 >"$work/m_sha1.der"
        prim NULL >"$work/m_null.der"
        tlv 30 "$work/m_sha1.der" "$work/m_null.der" >"$work/m_alg.der"
        octets "$(zeros 20)" >"$work/m_digest.der"
        tlv 30 "$work/m_alg.der" "$work/m_digest.der" >"$work/m_info.der"
        octets "$(zeros 8)" >"$work/m_salt.der"
        prim "INTEGER:$mac" >"$work/m_count.der"
        tlv 30 "$work/m_info.der" "$work/m_salt.der" "$work/m_count.der" >"$work/macdata.der"
        macdata="$work/macdata.der"
    fi
    pfx_of "$out" "$work/authsafe.der" $macdata
    ;;
hidden)
    out=$2 password=$3 key=$4
    zero_key_bag "$work/key_bag.der" "$key"
    tlv 30 "$work/key_bag.der" >"$work/keys.der"
    salt=$(openssl rand -hex 8)
    iv=$(openssl rand -hex 16)
    aes=$(openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt "pass:$password" \
        -kdfopt "hexsalt:$salt" -kdfopt iter:2048 PBKDF2 | tr -d ':\n')
    openssl enc -aes-256-cbc -K "$aes" -iv "$iv" -in "$work/keys.der" -out "$work/ct.der"
    pbes2 "$work/alg.der" 2048 "$salt" "$iv"
    encrypted_content "$work/safe_ci.der" "$work/alg.der" "$work/ct.der"
    tlv 30 "$work/safe_ci.der" >"$work/authsafe.der"
    pfx_of "$out" "$work/authsafe.der"
    ;;
*)
    echo "usage: hostile_pfx.sh swapped-key|counts|hidden OUT ..." >&2
    exit 2
    ;;
esac
