# Shared build settings for DataServer's own targets.

if(DATASERVER_SANITIZE)
  add_compile_options(-fsanitize=${DATASERVER_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${DATASERVER_SANITIZE})
endif()

# Fuzz builds instrument every library for coverage; the fuzzer targets add the libFuzzer driver.
if(DATASERVER_BUILD_FUZZERS)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Warnings for our own code only (third-party headers come in as system includes).
set(DATASERVER_WARNINGS -Wall -Wextra)
if(DATASERVER_WERROR)
  list(APPEND DATASERVER_WARNINGS -Werror)
endif()

# dataserver_library(<module> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
# Declares the library of one src/<module> as ds_<module> with the alias dataserver::<module>.
# Headers are included as "<module>/<file>.h" from src/.
function(dataserver_library module)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(ds_${module} STATIC ${ARG_SOURCES})
  add_library(dataserver::${module} ALIAS ds_${module})
  target_include_directories(ds_${module} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(ds_${module} PRIVATE ${DATASERVER_WARNINGS})
  if(ARG_DEPS)
    target_link_libraries(ds_${module} PUBLIC ${ARG_DEPS})
  endif()
  if(ARG_PRIVATE_DEPS)
    target_link_libraries(ds_${module} PRIVATE ${ARG_PRIVATE_DEPS})
  endif()
endfunction()

# dataserver_test(<name> SOURCES ... DEPS ... [LABELS ...] [ENVIRONMENT VAR=value])
# One GoogleTest executable; its tests are discovered when CTest runs (so sanitizer builds work).
# A test executable that defines its own main() replaces GoogleTest's.
function(dataserver_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT;ENVIRONMENT" "SOURCES;DEPS;LABELS" ${ARGN})
  if(NOT DATASERVER_BUILD_TESTS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${DATASERVER_WARNINGS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(properties TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    list(APPEND properties LABELS "${ARG_LABELS}")
  endif()
  if(ARG_ENVIRONMENT)
    list(APPEND properties ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${properties})
endfunction()

# dataserver_fuzzer(<name> SOURCES ... DEPS ...): a libFuzzer target, built only in fuzz builds
# (clang). Name fuzzers fuzz_<what>; scripts/run-fuzzers.sh runs every one of them, seeded from
# tests/fuzz_corpus/<name>/ when that folder exists.
function(dataserver_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT DATASERVER_BUILD_FUZZERS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${DATASERVER_WARNINGS} -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
endfunction()

# dataserver_bench(<name> SOURCES ... DEPS ...): a benchmark executable (Google Benchmark is
# available as benchmark::benchmark). Benchmarks print their figures; nothing asserts on them.
function(dataserver_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${DATASERVER_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark Threads::Threads)
endfunction()
