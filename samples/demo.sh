#!/bin/sh
# The demo behind `make demo`: converts the sample packet into a JAM, a
# Squish and a *.msg base under <build>/demo/, sorts the unread messages of
# the Squish base, then every base the sample area file lists by date
# written, printing the programs' own output.
set -e
build=${1:-build}
bin=$(cd "$build" && pwd)
samples=$(cd "$(dirname "$0")" && pwd)
demo="$bin/demo"

rm -rf "$demo"
mkdir -p "$demo"
cp "$samples/demo.pkt" "$samples/areas.bbs" "$demo/"
cd "$demo"

"$bin/Quilxfer" pdemo.pkt jjam/echo
"$bin/Quilxfer" pdemo.pkt ssquish/echo
"$bin/Quilxfer" pdemo.pkt fmsg
"$bin/Quilord" ssquish/echo /u
"$bin/Quilord" @areas.bbs

echo "The bases are in $demo:"
ls -l jam squish msg
