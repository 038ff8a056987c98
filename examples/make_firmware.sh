#!/bin/sh
# Remakes the sample image examples/firmware.L1A with qxfwimage pack, from a
# payload of generated text (64 lines of 64 bytes), so that the image is the
# same on every machine and holds nothing taken from elsewhere.
#
#   sh examples/make_firmware.sh BUILD_DIR/tool/qxfwimage examples/firmware.L1A
#
# or, from a build directory: ninja example_firmware
set -eu

if [ $# -ne 2 ]; then
  echo "usage: $0 QXFWIMAGE OUTPUT" >&2
  exit 2
fi
tool=$1
output=$2

payload=$(mktemp)
trap 'rm -f "$payload"' EXIT

i=1
while [ "$i" -le 64 ]; do
  printf '%-63s\n' "qxfwimage sample payload, block $i of 64"
  i=$((i + 1))
done >"$payload"

"$tool" pack --code-id SAMPLE01 \
  --copyright "Sample image for qxfwload, made by qxfwimage pack from generated text.
It is not adapter firmware." \
  "$payload" "$output"
