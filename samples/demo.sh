#!/bin/sh
# The demo behind `make demo`: converts the sample packet into a JAM, a
# Squish and a *.msg base under <build>/demo/, then sorts each of them by
# date written, printing the programs' own output.
set -e
build=${1:-build}
bin=$(cd "$build" && pwd)
sample=$(cd "$(dirname "$0")" && pwd)/demo.pkt
demo="$bin/demo"

rm -rf "$demo"
mkdir -p "$demo"
cp "$sample" "$demo/demo.pkt"
cd "$demo"

"$bin/Quilxfer" pdemo.pkt jjam/echo
"$bin/Quilxfer" pdemo.pkt ssquish/echo
"$bin/Quilxfer" pdemo.pkt fmsg
"$bin/Quilord" jjam/echo
"$bin/Quilord" ssquish/echo /u
"$bin/Quilord" fmsg

echo "The bases are in $demo:"
ls -l jam squish msg
