#!/usr/bin/env bash
# Builds the JSON fuzz target with clang's libFuzzer (the project itself builds with g++) and runs
# it over the kept corpus for a few seconds.
#
#   run-fuzz.sh CLANGXX SOURCE_ROOT WORK_DIR SECONDS
#
# By hand, for longer: run-fuzz.sh clang++-14 /work/main /tmp/fuzz-json 600
# Inputs that fail land in WORK_DIR/artifacts; copy them into the corpus folder beside this
# script so the normal test build replays them from then on.
set -euo pipefail
clangxx=$1
root=$2
work=$3
seconds=$4
here=$(cd "$(dirname "$0")" && pwd)
tools=$root/reporting/crash-recorder/Recording/Tools
mkdir -p "$work/corpus" "$work/artifacts"

binary=$work/json-fuzzer
# Only the tools the codec is built from: the others need the crash engine, which this small
# clang build leaves out.
codec_tools=(PloverCrashJSONCodec PloverCrashJSONCodecObjC PloverCrashFormat PloverCrashFileUtils
             PloverCrashLogger PloverCrashDate PloverCrashString)
sources=("$here/PloverCrashJSONFuzzTarget.cpp" "$root/platform/foundation/Error.cpp")
for t in "${codec_tools[@]}"; do sources+=("$tools/$t.cpp"); done
rebuild=0
if [ ! -x "$binary" ]; then
  rebuild=1
else
  for s in "${sources[@]}" "$tools"/*.h "$0"; do
    if [ "$s" -nt "$binary" ]; then rebuild=1; break; fi
  done
fi
if [ $rebuild -eq 1 ]; then
  echo "building $binary"
  "$clangxx" -std=c++20 -g -O1 -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root" -o "$binary.tmp" "${sources[@]}"
  mv "$binary.tmp" "$binary"
fi

# New inputs go to the work corpus; the kept corpus is only read.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
"$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
  -dict="$here/json.dict" -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
  "$work/corpus" "$here/corpus"
