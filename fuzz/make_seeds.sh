#!/usr/bin/env bash
# Makes the seed corpora in fuzz/corpus/<target>/ from the test fixtures and the openssl
# command line. Run from anywhere; it replaces the seeds it makes and leaves other files
# (inputs kept from fuzz runs, listed in fuzz/corpus/README) alone. Needs openssl 3, iconv.
#
# Targets read by FuzzedDataProvider take their integers from the end of the input and
# their text from the start, so a seed is "text" followed by a few control bytes; each
# printf below says what its trailing bytes select.
set -euo pipefail
cd "$(dirname "$0")"
c=corpus
fx=../tests/fixtures
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p $c/base64 $c/filter $c/cert_view $c/pfx_load $c/script $c/invoke $c/codepage \
         $c/digest $c/des $c/accept_pkcs7

# base64: bare, armoured with CRLF and 64-column lines, padded forms, broken armour.
printf 'TWFu' >$c/base64/bare
printf 'TWE=\n' >$c/base64/pad1
printf 'TQ==' >$c/base64/pad2
openssl x509 -inform DER -in $fx/certs/root.der -outform PEM | sed 's/$/\r/' >$c/base64/pem_crlf
openssl base64 -in $fx/certs/signer.der >$c/base64/wrapped
printf -- '-----BEGIN X-----\nTWFu\n' >$c/base64/no_footer
printf 'TW Fu\r\nTW\n' >$c/base64/blanks

# filter: the filter text, then [code page: odd byte = UTF-8][dwKeyUsage][dwFlags].
seed() { printf '%s' "$2" >"$c/filter/$1"; printf "$3" >>"$c/filter/$1"; }
seed wang_utf8 'S_CN=王小明//S_SN=00AB12' '\001\000\000'
seed issuer_utf8 'S_O=Kestrune,I_CN=Filter CA A' '\001\200\010'
seed acme_comma 'S_C=US,S_O=ACME, Inc.,S_CN=abc' '\001\000\002'
seed newline_sep 'S_CN=abc\nS_O=ACME, Inc.' '\001\000\044'
seed usage 'S_OU=Users' '\001\200\102'
printf 'S_CN=許nice,S_SN=乙' | iconv -f UTF-8 -t BIG5 >$c/filter/big5
printf '\000\200\010' >>$c/filter/big5
printf 'S_O=許功蓋//I_O=Kestrune Filter' | iconv -f UTF-8 -t BIG5 >$c/filter/big5_issuer
printf '\000\000\210' >>$c/filter/big5_issuer

# cert_view: certificates with every name form the fixtures have, and chain leaves.
for f in attrs big5_bmp big5_utf8 crlsign empty_subject long_big5 name_types no_cn root; do
  cp $fx/certs/$f.der $c/cert_view/$f.der
done
cp $fx/chain/leaf_critical.der $c/cert_view/leaf_critical.der
cp $fx/filter/acme.der $c/cert_view/acme.der

# pfx_load: the PKCS#12 fixtures (password "secret" or none), and one without a MAC or
# any encryption, whose bags the fuzzer can change without breaking a MAC.
for f in modern legacy empty_password no_password two_keys certs_only key_only; do
  cp $fx/pfx/$f.pfx $c/pfx_load/$f.pfx
done
openssl x509 -inform DER -in $fx/pfx/user1.der -out "$work/user1.pem"
openssl pkcs12 -export -in "$work/user1.pem" -inkey $fx/pfx/user1.key.pem -keypbe NONE \
    -certpbe NONE -nomac -passout pass:secret -out $c/pfx_load/plain_nomac.pfx

# accept_pkcs7: the bytes the target Base64-encodes: an issued certificate whose key the
# target's home holds, alone and in a certificates-only message with its CA; a message
# with no end-entity certificate; a certificate whose key is nowhere.
cp $fx/pfx/user1.der $c/accept_pkcs7/user1.der
cp $fx/pfx/user2.der $c/accept_pkcs7/user2.der
openssl x509 -inform DER -in $fx/pfx/ca.der -out "$work/ca.pem"
openssl crl2pkcs7 -nocrl -certfile "$work/user1.pem" -certfile "$work/ca.pem" -outform DER \
    -out $c/accept_pkcs7/user1_with_ca.p7b
openssl crl2pkcs7 -nocrl -certfile "$work/ca.pem" -outform DER -out $c/accept_pkcs7/ca_only.p7b

# script: statements of every kind the reader knows.
cat >$c/script/calls <<'KSC'
# comment
Hash "abc\u0000\ud800" 0x3
PresetPasswdLengthRange -1 4294967295
RegWriteHKCUStr "Software\\Kestrune\\a b" null
SelectSigner S_CN=abc 0 0
KSC
cat >$c/script/objects <<'KSC'
@new second
GetVersion
@use main
@use nobody
SignPkcs7 "\"quoted\" \/ \b\f\n\r\t" 0X10
KSC
cat >$c/script/dialogs <<'KSC'
!dialog PfxFileDialog ok {"browse":"a.pfx","password":"secret"}
!dialog CertListDialog ok {"index":-1,"view":[0]}
!dialog PasswordDialog cancel
!dialog FileChooser fail
!dialog Nothing ok {}
ExportMobileFromPfx "" "" "" 0 0
KSC
printf 'Hash "unterminated\nHash "x"y 1\nHash 1\nHash "\xff" 0\n' >$c/script/malformed

# codepage: the text, then [direction: odd byte = from UTF-16][code page: odd = UTF-8].
printf '許功蓋 abc' | iconv -f UTF-8 -t BIG5 >$c/codepage/big5_to_wide
printf '\000\000' >>$c/codepage/big5_to_wide
printf '\xa4\x40\xf9\xfe\x81\x40\xc8' >$c/codepage/big5_odd_bytes
printf '\000\000' >>$c/codepage/big5_odd_bytes
printf 'a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xed\xa0\x80\xc0\xaf' >$c/codepage/utf8_mixed
printf '\000\001' >>$c/codepage/utf8_mixed
printf '許😀' | iconv -f UTF-8 -t UTF-16LE >$c/codepage/wide_to_big5
printf '\x00\xd8A\x00\001\000' >>$c/codepage/wide_to_big5
printf '\x00\xd8\x3d\xd8\x00\xde\xff\xfe\001\001' >$c/codepage/wide_to_utf8

# digest: the message, then [piece lengths...][number of pieces][kernel: odd = portable].
printf 'abc\000\000' >$c/digest/abc
head -c 300 $fx/certs/root.der >$c/digest/blocks
printf '\x40\x3f\x41\003\001' >>$c/digest/blocks
head -c 1000 $fx/certs/signer.der >$c/digest/long
printf '\x80\x00\x77\x10\004\000' >>$c/digest/long

# des: the key and then the message from the start, then [key choice][algorithm:
# 0 DES, 1 two-key, 2 three-key triple DES] (a key choice below 16 shortens the key).
printf '0123456789abcdefFEDCBA98now is the time for all \377\002' >$c/des/des3
printf '0123456789abcdef12345678\377\001' >$c/des/des2
printf '01234567x\377\000' >$c/des/des1_short_message
printf 'short\001\002' >$c/des/short_key
