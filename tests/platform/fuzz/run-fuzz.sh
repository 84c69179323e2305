#!/usr/bin/env bash
# Builds one of the platform readers' fuzz targets with clang's libFuzzer and runs it over its
# kept corpus for a few seconds.
#
#   run-fuzz.sh CLANGXX SOURCE_ROOT GENERATED_DIR WORK_DIR TARGET SECONDS
#
# TARGET is one of url, date, json, keyed_archive. GENERATED_DIR is <build>/generated. By hand,
# for longer:
#   run-fuzz.sh clang++-14 /work/main /work/main/build/generated /tmp/fuzz-platform json 300
# Inputs that fail land in WORK_DIR/TARGET/artifacts; copy them into corpus/TARGET beside this
# script so the normal test build replays them from then on.
set -euo pipefail
clangxx=$1
root=$2
generated=$3
work=$4/$5
target=$5
seconds=$6
here=$(cd "$(dirname "$0")" && pwd)
foundation=$root/platform/foundation
mkdir -p "$work/corpus" "$work/artifacts"

common=("$foundation/Error.cpp" "$foundation/UTF8.cpp" "$foundation/Value.cpp" "$foundation/DateFormat.cpp"
        "$foundation/UUID.cpp" "$foundation/Base64.cpp" "$foundation/JSONLimits.cpp")
extra=()
case $target in
  url) main=URLFuzz.cpp; extra=("$foundation/URL.cpp") ;;
  date) main=DateFuzz.cpp ;;
  json) main=JSONFuzz.cpp ;;
  keyed_archive)
    main=KeyedArchiveFuzz.cpp
    extra=("$foundation/KeyedArchiver.cpp") ;;
  *) echo "unknown target $target" >&2; exit 2 ;;
esac

binary=$work/$target-fuzzer
sources=("$here/$main" "${common[@]}" "${extra[@]}")
rebuild=0
if [ ! -x "$binary" ]; then
  rebuild=1
else
  for s in "${sources[@]}" "$here/PlatformFuzz.h" "$foundation"/*.h; do
    if [ "$s" -nt "$binary" ]; then rebuild=1; break; fi
  done
fi
if [ $rebuild -eq 1 ]; then
  echo "building $binary"
  flags=(-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
         -fno-sanitize-recover=undefined)
  "$clangxx" -std=c++20 "${flags[@]}" -DVX_FUZZ_MAIN -I"$root" -I"$generated" \
    -o "$binary.tmp" "${sources[@]}" -lssl -lcrypto -lpthread
  mv "$binary.tmp" "$binary"
fi

# New inputs go to the work corpus; the kept corpus is only read.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
"$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
  -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
  "$work/corpus" "$here/corpus/$target"
