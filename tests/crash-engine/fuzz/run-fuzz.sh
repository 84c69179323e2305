#!/usr/bin/env bash
# Builds one of the crash engine's fuzz targets with clang's libFuzzer (the project itself builds
# with g++) and runs it over its kept corpus for a few seconds.
#
#   run-fuzz.sh CLANGXX SOURCE_ROOT PROTO_DIR WORK_DIR TARGET SECONDS
#
# TARGET is one of dwarf_expression, dwarf_cfa, dwarf_cfi, macho, report_decoder, compact_unwind,
# symbol_table. PROTO_DIR holds
# the generated report decoder (<build>/crash-engine/proto). By hand, for longer:
#   run-fuzz.sh clang++-14 /work/main /work/main/build/crash-engine/proto /tmp/fuzz-ce macho 300
# Inputs that fail land in WORK_DIR/TARGET/artifacts; copy them into corpus/TARGET beside this
# script so the normal test build replays them from then on.
set -euo pipefail
clangxx=$1
root=$2
proto=$3
work=$4/$5
target=$5
seconds=$6
here=$(cd "$(dirname "$0")" && pwd)
engine=$root/crash-engine
mkdir -p "$work/corpus" "$work/artifacts"

common=("$engine/HXCrashAsync.cpp" "$engine/HXCrashAsyncDwarfPrimitives.cpp"
        "$engine/HXCrashAsyncMObject.cpp" "$engine/MSHXCrashThreadState.cpp"
        "$engine/MSHXCrashThreadCapture.cpp" "$engine/MSHXCrashThreadStateCurrent.S"
        "$root/platform/darwin/Mach.cpp")
extra=()
libs=()
case $target in
  dwarf_expression) main=DwarfExpressionFuzz.cpp ;;
  dwarf_cfa) main=DwarfCfaFuzz.cpp ;;
  dwarf_cfi) main=DwarfCfiFuzz.cpp ;;
  macho)
    main=MachOFuzz.cpp
    extra=("$engine/HXCrashAsyncMachOImage.cpp" "$engine/HXCrashAsyncDwarfImageCache.cpp"
           "$engine/HXCrashAsyncSymbols.cpp" "$root/platform/darwin/Dyld.cpp") ;;
  compact_unwind)
    main=CompactUnwindFuzz.cpp
    extra=("$engine/HXCrashAsyncCompactUnwindEncoding.cpp") ;;
  symbol_table)
    main=SymbolTableFuzz.cpp ;;
  report_decoder)
    main=ReportDecoderFuzz.cpp
    extra=("$engine/MSHXCrashReport.cpp" "$engine/MSHXCrashReportTextFormatter.cpp"
           "$engine/HXCrashErrors.cpp" "$root/platform/foundation/Error.cpp")
    libs=(-lprotobuf-c) ;;
  *) echo "unknown target $target" >&2; exit 2 ;;
esac

binary=$work/$target-fuzzer
sources=("$here/$main" "${common[@]}" "${extra[@]}")
rebuild=0
if [ ! -x "$binary" ]; then
  rebuild=1
else
  for s in "${sources[@]}" "$here/CrashEngineFuzz.h" "$engine"/*.h; do
    if [ "$s" -nt "$binary" ]; then rebuild=1; break; fi
  done
fi
if [ $rebuild -eq 1 ]; then
  echo "building $binary"
  flags=(-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
         -fno-sanitize-recover=undefined)
  objects=()
  if [ "$target" = report_decoder ]; then
    clang-14 "${flags[@]/-fsanitize=fuzzer,address,undefined/-fsanitize=fuzzer-no-link,address,undefined}" \
      -I"$proto" -c "$proto/crash-engine/crash_report.pb-c.c" -o "$work/crash_report.pb-c.o"
    objects=("$work/crash_report.pb-c.o")
  fi
  "$clangxx" -std=c++20 "${flags[@]}" -DCE_FUZZ_MAIN -I"$root" -I"$proto" \
    -o "$binary.tmp" "${sources[@]}" "${objects[@]}" "${libs[@]}" -lpthread
  mv "$binary.tmp" "$binary"
fi

# New inputs go to the work corpus; the kept corpus is only read. The sanitizers' own handling
# of fatal signals stays on: nothing here may crash.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
"$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
  -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
  "$work/corpus" "$here/corpus/$target"
