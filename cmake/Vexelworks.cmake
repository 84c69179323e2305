# Shared build settings for the project's own targets.

set(VX_WARNINGS -Wall -Wextra -Werror)
# GCC 12's flow-based warnings misfire inside the standard library at -O2 (std::string copies);
# they stay warnings there, not build failures.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND VX_WARNINGS -Wno-error=restrict -Wno-error=maybe-uninitialized
       -Wno-error=stringop-overflow -Wno-error=array-bounds -Wno-error=free-nonheap-object)
endif()
set(VX_COMMON_FLAGS -fno-omit-frame-pointer)
set(VX_COMMON_LINK -Wl,--build-id)

if(VX_SANITIZE)
  list(APPEND VX_COMMON_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined)
  list(APPEND VX_COMMON_LINK -fsanitize=address,undefined)
endif()

# ThreadSanitizer, for the tests that share state between threads (those labelled `tsan`, built
# together by the target `tsan_tests`). It cannot be combined with AddressSanitizer, and the crash
# tests (their own signal handlers and throw entry, forks that crash) are no use under it.
option(VX_TSAN "Build with ThreadSanitizer (build the target tsan_tests, run ctest -L tsan)" OFF)
if(VX_TSAN)
  if(VX_SANITIZE OR VX_FUZZ)
    message(FATAL_ERROR "VX_TSAN cannot be combined with VX_SANITIZE or VX_FUZZ")
  endif()
  list(APPEND VX_COMMON_FLAGS -fsanitize=thread)
  list(APPEND VX_COMMON_LINK -fsanitize=thread)
  # GCC warns at every standalone fence that ThreadSanitizer does not model it. The fences are in
  # the crash-time code (memory entries, the report writer), which the tests run here never race.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    list(APPEND VX_WARNINGS -Wno-tsan)
  endif()
endif()

add_compile_options(${VX_COMMON_FLAGS})
add_link_options(${VX_COMMON_LINK})

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

# vx_library(NAME <target> [SOURCES ...] [PUBLIC ...] [PRIVATE ...])
# One library per folder; its public include root is the project root, so
# includes read "platform/foundation/DispatchQueue.h".
function(vx_library)
  cmake_parse_arguments(A "" "NAME" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  add_library(${A_NAME} STATIC ${A_SOURCES})
  target_include_directories(${A_NAME} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
  target_compile_options(${A_NAME} PRIVATE $<$<COMPILE_LANGUAGE:CXX,C>:${VX_WARNINGS}>)
  target_link_libraries(${A_NAME} PUBLIC ${A_PUBLIC} PRIVATE ${A_PRIVATE})
endfunction()

# vx_tsan_test(<test>): a test named in VX_TSAN_TESTS (set by a tests/ folder for the folders
# below it) also carries the label `tsan` and is built by the target `tsan_tests`.
set(VX_TSAN_OPTIONS "TSAN_OPTIONS=second_deadlock_stack=1:history_size=4")
function(vx_tsan_test name)
  if(NOT name IN_LIST VX_TSAN_TESTS)
    return()
  endif()
  if(NOT TARGET tsan_tests)
    add_custom_target(tsan_tests)
  endif()
  add_dependencies(tsan_tests ${name})
  set_property(TEST ${name} APPEND PROPERTY LABELS tsan)
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT ${VX_TSAN_OPTIONS})
  set_property(GLOBAL APPEND PROPERTY VX_TSAN_TESTS_FOUND ${name})
endfunction()

# vx_check_tsan_tests(): in a ThreadSanitizer build, every name in VX_TSAN_TESTS became a test,
# so a renamed test cannot leave the set unnoticed.
function(vx_check_tsan_tests)
  if(NOT VX_TSAN)
    return()
  endif()
  get_property(found GLOBAL PROPERTY VX_TSAN_TESTS_FOUND)
  foreach(name IN LISTS VX_TSAN_TESTS)
    if(NOT name IN_LIST found)
      message(FATAL_ERROR "VX_TSAN_TESTS names ${name}, which is no test")
    endif()
  endforeach()
endfunction()

# vx_test(NAME <exe> LABEL <top folder> SOURCES ... [LIBS ...] [ENV ...] [NO_MAIN])
# The shared main (tests/support/TestMain.cpp) points the XDG folders at a fresh temporary
# folder per process, so no test reads or writes the user's own files.
# Every test carries the ctest label of its top folder so an area runs alone with ctest -L.
find_package(GTest REQUIRED)
function(vx_test)
  cmake_parse_arguments(A "NO_MAIN" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS;ENV;PROPERTIES" ${ARGN})
  add_executable(${A_NAME} ${A_SOURCES})
  target_include_directories(${A_NAME} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(${A_NAME} PRIVATE ${VX_WARNINGS})
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  add_test(NAME ${A_NAME} COMMAND ${A_NAME})
  set_tests_properties(${A_NAME} PROPERTIES LABELS "${A_LABEL}" TIMEOUT ${A_TIMEOUT}
    ENVIRONMENT "VX_TEST=1;VX_KEYCHAIN_BACKEND=file;${A_ENV}" ${A_PROPERTIES})
  vx_tsan_test(${A_NAME})
  if(NOT TARGET vx_test_main)
    add_library(vx_test_main STATIC ${PROJECT_SOURCE_DIR}/tests/support/TestMain.cpp)
    target_include_directories(vx_test_main PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(vx_test_main PUBLIC GTest::gtest)
  endif()
  if(NOT A_NO_MAIN)
    target_link_libraries(${A_NAME} PRIVATE vx_test_main)
  endif()
endfunction()

# vx_bench(NAME <exe> SOURCES ... [LIBS ...])
find_package(benchmark QUIET)
function(vx_bench)
  cmake_parse_arguments(A "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT benchmark_FOUND)
    return()
  endif()
  add_executable(${A_NAME} ${A_SOURCES})
  target_include_directories(${A_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS} benchmark::benchmark Threads::Threads)
  set_target_properties(${A_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bench-bin)
endfunction()

# vx_test_folder(LABEL <label> PREFIX <name prefix> LIBS ... [ENV ...])
# Every *Test.cpp in the calling folder becomes its own test program, so a test that does not
# build yet never holds back its neighbours.
function(vx_test_folder)
  cmake_parse_arguments(A "" "LABEL;PREFIX;TIMEOUT" "LIBS;ENV;EXTRA_SOURCES" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*Test.cpp)
  foreach(test IN LISTS tests)
    get_filename_component(base ${test} NAME_WE)
    vx_test(NAME ${A_PREFIX}_${base} LABEL ${A_LABEL} SOURCES ${test} ${A_EXTRA_SOURCES}
            LIBS ${A_LIBS} ENV ${A_ENV} TIMEOUT ${A_TIMEOUT})
  endforeach()
endfunction()

# vx_add_subfolders(): adds every direct subfolder of the calling folder that has a
# CMakeLists.txt, so a new area or library adds its tests without editing its parent's list.
function(vx_add_subfolders)
  file(GLOB subdirs LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(dir IN LISTS subdirs)
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
include(${CMAKE_CURRENT_LIST_DIR}/Fuzzing.cmake)
