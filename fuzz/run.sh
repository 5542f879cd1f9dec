#!/bin/sh
# Runs every fuzz harness for a bounded time, one after the other:
#
#   fuzz/run.sh FUZZ_BUILD [SECONDS] [HARNESS...]
#
# SECONDS (default 60) is the time of each harness.  Each one starts from its
# seeds in fuzz/corpus/ and what earlier runs found in FUZZ_BUILD/corpus/
# (the seeds are never written).  A finding (a crash, a sanitizer report, a
# failed round trip, a slow input, a memory blow-up) is saved under
# FUZZ_BUILD/findings/ and makes the script fail once every harness has run.
set -u
build=$(cd "${1:?usage: run.sh FUZZ_BUILD [SECONDS] [HARNESS...]}" && pwd)
seconds=${2:-60}
shift
[ $# -gt 0 ] && shift
harnesses=${*:-packet msg squish jam text date spec area}
seeds=$(cd "$(dirname "$0")" && pwd)/corpus
mkdir -p "$build/findings"
# Reports name functions and lines when a symbolizer is there.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && command -v llvm-symbolizer > /dev/null; then
  ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer)
  export ASAN_SYMBOLIZER_PATH
fi
failed=""
for harness in $harnesses; do
  echo "==== $harness: $seconds s"
  mkdir -p "$build/corpus/$harness"
  # A base harness must copy every message in well under a second; a
  # message's text is bounded, so more memory than this is a leak or worse.
  if ! "$build/${harness}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
      -timeout=10 -rss_limit_mb=1024 -artifact_prefix="$build/findings/$harness-" \
      "$build/corpus/$harness" "$seeds/$harness" 2> "$build/findings/$harness.log"; then
    failed="$failed $harness"
    tail -n 60 "$build/findings/$harness.log"
  fi
  grep -E '^(#[0-9]+.*DONE|stat::)' "$build/findings/$harness.log" | grep -E 'DONE|exec_per_sec'
done
if [ -n "$failed" ]; then
  echo "fuzzing found something in:$failed (inputs in $build/findings/)"
  exit 1
fi
echo "fuzzing found nothing"
