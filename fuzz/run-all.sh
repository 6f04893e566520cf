#!/bin/sh
# Runs every built fuzz target for a short time on a copy of its seed corpus
# and fails when one of them reports a finding. Builds nothing.
#
# usage: fuzz/run-all.sh BUILD_DIR [SECONDS]
#   BUILD_DIR  a build directory configured with -DQV_BUILD_FUZZERS=ON
#   SECONDS    time per target (default 20, or $FUZZ_SECONDS)
# Findings (crash, leak, time-out, out-of-memory inputs) are kept under
# $FUZZ_ARTIFACTS when set, otherwise in the temporary directory, whose
# path is printed.
set -u

build_dir=${1:-}
seconds=${2:-${FUZZ_SECONDS:-20}}
if [ -z "$build_dir" ] || [ ! -d "$build_dir" ]; then
  echo "usage: $0 BUILD_DIR [SECONDS]" >&2
  exit 2
fi
case $seconds in
  ''|*[!0-9]*) echo "$0: SECONDS must be a whole number" >&2; exit 2 ;;
esac

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-fuzz.XXXXXX") || exit 2
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

ran=0
failed=""
for bin in "$build_dir"/fuzz/fuzz_*; do
  [ -f "$bin" ] && [ -x "$bin" ] || continue
  name=$(basename "$bin")
  corpus="$work/$name/corpus"
  artifacts="${FUZZ_ARTIFACTS:-$work/$name/artifacts}"
  mkdir -p "$corpus" "$artifacts"
  if [ -d "$here/corpus/$name" ]; then
    cp "$here/corpus/$name"/* "$corpus"/ 2>/dev/null
  fi
  dict=""
  case $name in
    fuzz_xml_syntax|fuzz_content_update|fuzz_flp2_push) dict="$here/xml.dict" ;;
    fuzz_multipart_syntax) dict="$here/multipart.dict" ;;
  esac
  echo "== $name: ${seconds}s"
  if [ -n "$dict" ]; then
    set -- "-dict=$dict"
  else
    set --
  fi
  if "$bin" "$@" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$corpus" >"$work/$name/log" 2>&1; then
    tail -n 12 "$work/$name/log" | grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)' || true
  else
    echo "!! $name reported a finding; artifacts in $artifacts" >&2
    tail -n 60 "$work/$name/log" >&2
    failed="$failed $name"
  fi
  ran=$((ran + 1))
done

if [ "$ran" -eq 0 ]; then
  echo "$0: no fuzz targets found in $build_dir/fuzz (configure with -DQV_BUILD_FUZZERS=ON and build them)" >&2
  exit 2
fi
if [ -n "$failed" ]; then
  echo "findings in:$failed (work directory $work)" >&2
  exit 1
fi
rm -rf "$work"
echo "all $ran fuzz targets ran without a finding"
