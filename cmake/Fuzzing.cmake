# Coverage-guided fuzzing of the readers of outside bytes. Every fuzz target's source
# (LLVMFuzzerTestOneInput) is compiled into an ordinary corpus-replay test in every build; with
# VX_FUZZ=ON (clang only) each also becomes a libFuzzer program in <build>/fuzz-bin, all of them
# built by the one target `fuzzers`. scripts/fuzz runs them over their kept corpora.
option(VX_FUZZ "Build the libFuzzer programs (clang only; build them with the target 'fuzzers')" OFF)

if(VX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang" OR NOT CMAKE_C_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VX_FUZZ needs clang: configure with CC=clang-14 CXX=clang++-14")
  endif()
  # Everything is instrumented for coverage and checked by the sanitizers; only the fuzz
  # programs themselves link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  add_custom_target(fuzzers)
  set_property(GLOBAL PROPERTY VX_FUZZERS "")
endif()

# vx_fuzzer(NAME <name> SOURCE <file with the entry point> [SOURCES ...] LIBS ... CORPUS <dir>
#           [DICT <file>] [DEFINITIONS ...])
# SOURCE is built with VX_FUZZ_MAIN defined, which makes its target the program's
# LLVMFuzzerTestOneInput (tests/support/FuzzTarget.h).
function(vx_fuzzer)
  cmake_parse_arguments(A "" "NAME;SOURCE;CORPUS;DICT" "SOURCES;LIBS;DEFINITIONS" ${ARGN})
  if(NOT VX_FUZZ)
    return()
  endif()
  set(target fuzz_${A_NAME})
  add_executable(${target} EXCLUDE_FROM_ALL ${A_SOURCE} ${A_SOURCES})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(${target} PRIVATE ${VX_WARNINGS})
  target_compile_definitions(${target} PRIVATE ${A_DEFINITIONS})
  set_source_files_properties(${A_SOURCE} TARGET_DIRECTORY ${target} PROPERTIES
    COMPILE_DEFINITIONS VX_FUZZ_MAIN)
  target_link_libraries(${target} PRIVATE ${A_LIBS} Threads::Threads)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${A_NAME}
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/fuzz-bin)
  add_dependencies(fuzzers ${target})
  if(NOT IS_ABSOLUTE "${A_CORPUS}")
    set(A_CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/${A_CORPUS})
  endif()
  if(A_DICT AND NOT IS_ABSOLUTE "${A_DICT}")
    set(A_DICT ${CMAKE_CURRENT_SOURCE_DIR}/${A_DICT})
  endif()
  set_property(GLOBAL APPEND PROPERTY VX_FUZZERS "${A_NAME}\t${A_CORPUS}\t${A_DICT}")
endfunction()

# The list scripts/fuzz reads: one line per program, "name<TAB>kept corpus<TAB>dictionary".
function(vx_write_fuzzer_list)
  get_property(fuzzers GLOBAL PROPERTY VX_FUZZERS)
  list(SORT fuzzers)
  string(REPLACE ";" "\n" text "${fuzzers}")
  file(WRITE ${PROJECT_BINARY_DIR}/fuzz-bin/fuzzers.tsv "${text}\n")
endfunction()
if(VX_FUZZ)
  cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL vx_write_fuzzer_list)
endif()
