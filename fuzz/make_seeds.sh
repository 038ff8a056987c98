#!/usr/bin/env bash
# Writes the committed seed corpora of the fuzz targets (fuzz/corpus/TARGET/):
# a few tiny inputs each, valid ones and one of each kind of fault, so that
# the fuzzer starts from every branch that matters. The adapter firmware
# files are made by the project's own qxfwimage.
# Usage: fuzz/make_seeds.sh QXFWIMAGE
set -euo pipefail
qxfwimage=${1:?usage: fuzz/make_seeds.sh QXFWIMAGE}
here=$(cd "$(dirname "$0")" && pwd)
corpus=$here/corpus
rm -rf "$corpus"
mkdir -p "$corpus"/{image,vpd,command_line,print_format,machine_file,passthrough}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Pads standard input with zero bytes to $1 bytes.
pad() { { cat; head -c "$1" /dev/zero; } | head -c "$1"; }

# --- image: files as qxfwload reads them.
printf 'hello, fuzzer' > "$work/payload"
"$qxfwimage" pack --code-id SEED0001 --copyright '(c) seed %s%n' "$work/payload" "$corpus/image/valid"
: > "$work/empty"
"$qxfwimage" pack --code-id EMPTY "$work/empty" "$corpus/image/header_only"
# The first data byte changed: the LRC no longer matches.
{ head -c 272 "$corpus/image/valid"; printf 'j'; tail -c +274 "$corpus/image/valid"; } \
  > "$corpus/image/bad_lrc"
# A copyright text that fills its 252 bytes without a NUL.
{ printf 'C%.0s' $(seq 252); printf '\x00\x00\x00\x00\xaa\xaa\xaa\xaaNONUL000\x00\x00\x00\x00'; } \
  > "$corpus/image/copyright_without_nul"
# An AIF header: the three no-ops and the exit instruction.
{ printf '\x00\x00\xa0\xe1\x00\x00\xa0\xe1\x00\x00\xa0\xe1\x00\x00\x00\x00\xfe\xff\xff\xea'; } \
  | pad 128 > "$corpus/image/aif"
printf '\x00\x00\xa0\xe1' > "$corpus/image/short"

# --- vpd: 256-byte records, a good one and one for each way the walk ends.
# shellcheck disable=SC2059  # the record is given as printf escapes, the format on purpose
vpd() { printf "$2" | pad 256 > "$corpus/vpd/$1"; }
keywords='*PN\x09QARMIX ADAPTER*SN\x070000000000*LL\x031A'
vpd ll_1A "VPD\x00\x13\x00\x00$keywords"
vpd no_signature "VPd\x00\x13\x00\x00$keywords"
vpd area_too_short "VPD\x00\x01\x00\x00$keywords"
vpd keyword_too_long "VPD\x00\x03\x00\x00*LL\x041A"
vpd keyword_without_star "VPD\x00\x13\x00\x00-PN\x09QARMIX ADAPTER"
vpd keyword_length_zero "VPD\x00\x13\x00\x00*PN\x00"
vpd lower_case_ll "VPD\x00\x03\x00\x00*ll\x031A"
# Walks that run to the record's end: a keyword of 252 bytes, and a first
# keyword of 244 bytes after which "*LL" starts at byte 251, its value past
# byte 255 (and one of 246 bytes, after which a keyword header would).
vpd past_the_end "VPD\x00\x7f\x00\x00*PN\x7e"
{ printf 'VPD\x00\x7f\x00\x00*PN\x7a' | pad 251; printf '*LL\x031'; } > "$corpus/vpd/ll_value_past_the_end"
vpd header_past_the_end "VPD\x00\x7f\x00\x00*PN\x7b"

# --- command_line: arguments separated by NUL bytes.
args() { local name=$1; shift; printf '%s\0' "$@" | head -c -1 > "$corpus/command_line/$name"; }
args plain fw.L1A
args quiet_node -q -a 0x1F fw.L12
args joined -abc 5 fw.L12
args forced -f -n 017 fw.bin
args bad_node -a -5 fw.L12
args surplus fw.L12 -q
args hex_without_digits -a 0x fw.L12
args big_decimal -a 4294967306 -pm path.d/fw.LAF

# --- print_format, passthrough: raw bytes that the targets take apart.
printf '\x01\x03\x00\x00\x00\x0b\xff\xff\xff\xff\x10\x00\x00\x00\x00\x00\x00\x80\x05node\x01x\x00\x01' \
  > "$corpus/print_format/system"
printf '\x00\x00\x01\x00\x00\x00\x02\x00\x00\x00\x03\x00\x00\x00\x04\x00%%s%%n%%*.*f%%08lx%%c' \
  > "$corpus/print_format/any_format"
printf '\x01\x0b\x01\x00' > "$corpus/passthrough/node_11"
head -c 400 /dev/zero | tr '\0' '\x11' > "$corpus/passthrough/answer_of_ones"
{ printf '\x01\x0b\x00\x00'; head -c 112 /dev/zero; printf '\x08\x00\x04\x00\x00\x01\x00\x00'; } \
  > "$corpus/passthrough/read_shape"

# --- machine_file: the example machine and one of each fault.
cp "$here/../examples/machine.json" "$corpus/machine_file/example.json"
cat > "$corpus/machine_file/faults.json" <<'JSON'
{"ports": [{"port": 0, "driver": "qarmix", "node": 11, "fail_after": 100},
           {"port": 15, "driver": "qarmix", "node": -128, "node_query": "silent",
            "device": "missing", "transactions": "fail"}],
 "adapters": [{"node": 11, "mode": 1, "partner": true, "garbage": true,
               "answers": {"download": {"status": -1, "flag": 2, "code": -30},
                           "read": "fail"}}]}
JSON
printf '{"adapters": [{"node": 4294967295, "vpd": {"hex": "%s"}}]}' "$(printf '0f%.0s' $(seq 256))" \
  > "$corpus/machine_file/hex_vpd.json"
printf '{"ports": [{"port": 1, "port": 2}]}' > "$corpus/machine_file/duplicate.json"
printf '{"ports": [[[[' > "$corpus/machine_file/broken.json"
