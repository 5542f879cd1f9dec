#!/bin/sh
# Makes the seed corpora of the fuzz harnesses in fuzz/corpus/:
#
#   fuzz/make_corpus.sh BUILD FUZZ_BUILD
#
# BUILD holds the programs (Quilxfer), FUZZ_BUILD the harnesses' pack_input.
# The seeds are the sample packet in samples/ and what our converter makes
# of it in every kind, and, when crashmail is installed, packets crashwrite
# writes and the JAM and *.msg areas crashmail tosses them into, again in
# every kind.  Squish and JAM bases are packed into one input each as their
# harnesses split it.  The seeds are checked in; run this only to renew them.
set -e
build=$(cd "${1:?usage: make_corpus.sh BUILD FUZZ_BUILD}" && pwd)
fuzz_build=$(cd "${2:?usage: make_corpus.sh BUILD FUZZ_BUILD}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
corpus="$here/corpus"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for harness in packet msg squish jam text date spec area; do
  rm -rf "$corpus/$harness"
  mkdir -p "$corpus/$harness"
done

copy() {  # copy SOURCE-SPEC NAME: the source in every kind, under $work/NAME
  for kind in f p s j; do
    case $kind in
      p) spec="p$work/$2.pkt" ;;
      *) spec="$kind$work/$2_$kind" ;;
    esac
    "$build/Quilxfer" "$1" "$spec" < /dev/null > /dev/null
  done
}

seed() {  # seed NAME: the bases $work/NAME* as seeds
  cp "$work/$1.pkt" "$corpus/packet/$1.pkt"
  for file in "$work/$1_f"/*.msg; do
    cp "$file" "$corpus/msg/$1_$(basename "$file")"
    # The text behind the 190-byte header.
    tail -c +191 "$file" > "$corpus/text/$1_$(basename "$file" .msg).txt"
  done
  "$fuzz_build/pack_input" "$corpus/squish/$1" "$work/$1_s.sqd" "$work/$1_s.sqi"
  "$fuzz_build/pack_input" "$corpus/jam/$1" "$work/$1_j.jhr" "$work/$1_j.jdt" "$work/$1_j.jdx"
}

cp "$here/../samples/demo.pkt" "$corpus/packet/sample.pkt"
copy "p$here/../samples/demo.pkt" demo
seed demo

if command -v crashmail > /dev/null && command -v crashwrite > /dev/null; then
  site="$work/site"
  mkdir -p "$site/in" "$site/out" "$site/tmp" "$site/pkt" "$site/write"
  cat > "$site/prefs" <<EOF
SYSOP "Quil Fuzz Seeds"
LOGFILE "$site/log"
DUPEFILE "$site/dupes" 200
DUPEMODE IGNORE
LOOPMODE IGNORE
DEFAULTZONE 2
INBOUND "$site/in"
OUTBOUND "$site/out"
TEMPDIR "$site/tmp"
CREATEPKTDIR "$site/tmp"
PACKETDIR "$site/pkt"
STATSFILE "$site/stats"
IMPORTSEENBY
IMPORTEMPTYNETMAIL
AKA 2:5020/1
DOMAIN "fidonet"
NODE 2:5020/2.0 "" ""
ROUTE "*:*/*.*" "2:5020/2.0" 2:5020/1
NETMAIL "NETMAIL" 2:5020/1 MSG "$site/netmail"
IMPORT 2:5020/1.5
AREA "BAD" 2:5020/1 MSG "$site/bad"
AREA "QUIL.JAM" 2:5020/1 JAM "$site/echo"
EXPORT 2:5020/2.0
AREA "QUIL.MSG" 2:5020/1 MSG "$site/msgecho"
EXPORT 2:5020/2.0
EOF
  printf 'First line\nSecond line\n\001CHRS: CP866 2\nLast\n' > "$site/text"
  crashwrite DIR "$site/write" TEXT "$site/text" FROMNAME "Ivan Petrov" SUBJECT "Netmail" \
    FROMADDR 1:250/3.3 TONAME Sysop TOADDR 2:5020/1.5 > /dev/null
  for area in QUIL.JAM QUIL.MSG; do
    crashwrite DIR "$site/write" TEXT "$site/text" FROMNAME "Ivan Petrov" SUBJECT "Echomail" \
      FROMADDR 2:5020/2 TOADDR 2:5020/1 AREA $area ORIGIN "Seed station" > /dev/null
  done
  n=1
  for packet in "$site/write"/*; do
    cp "$packet" "$corpus/packet/crashwrite_$n.pkt"
    cp "$packet" "$site/in/0000000$n.pkt"
    n=$((n + 1))
  done
  crashmail SETTINGS "$site/prefs" TOSS > /dev/null
  copy "j$site/echo" tossed_jam
  seed tossed_jam
  "$fuzz_build/pack_input" "$corpus/jam/crashmail_echo" "$site/echo.jhr" "$site/echo.jdt" \
    "$site/echo.jdx"
  copy "f$site/netmail" tossed_netmail
  seed tossed_netmail
  copy "f$site/msgecho" tossed_echo
  seed tossed_echo
  for file in "$site/netmail"/*.msg; do
    cp "$file" "$corpus/msg/crashmail_netmail_$(basename "$file")"
  done
  for file in "$site/msgecho"/*.msg; do
    cp "$file" "$corpus/msg/crashmail_echo_$(basename "$file")"
  done
fi

printf '05 Mar 01  17:30:09' > "$corpus/date/fts"
printf '05 Mar 01 17:30:09' > "$corpus/date/one_blank"
printf 'Mon 15 Mar 01 17:30' > "$corpus/date/weekday"
printf '05-03-01 17:30:09' > "$corpus/date/numeric"
printf 'fF:\\Fido\\Netmail' > "$corpus/spec/fido"
printf 'D:\\Echo\\Area.jhr' > "$corpus/spec/jam"
printf 'sF:\\Fido\\Base\\Area.sqd' > "$corpus/spec/squish"
printf 'C:\\In\\0001.pkt' > "$corpus/spec/packet"
printf 'Quil Station ! Sysop\r\n; netmail\r\nfMail\\Net NETMAIL\r\njEcho\\Area ECHO.AREA 2:5020/1\r\n' \
  > "$corpus/area/areas.bbs"
printf '$Base\\Squish SQ\n\tpPkt\\0001.pkt ; packet\n!Jam\\Echo\n\032junk' > "$corpus/area/unix_dos.bbs"
