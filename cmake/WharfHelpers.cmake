# `unit_tests` builds every unit-test binary and nothing else (no application,
# no gui tests), `gui_tests` every gui test with what it starts: the sanitizer
# builds make only the tests they run.
# `fuzzers` builds the libFuzzer targets (empty unless WHARF_FUZZ is on).
add_custom_target(unit_tests)
add_custom_target(gui_tests)
add_custom_target(fuzzers)

# wharf_add_test(<name> LABEL unit|gui SOURCES ... LIBS ...)
# Builds one GoogleTest binary and registers each of its tests with CTest.
function(wharf_add_test name)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock wharf_testmain)
  # A test's own code only drives the shipped code, which keeps its optimisation:
  # GoogleTest's and the JSON library's templates take half of a test's compile
  # time at -O2 and a fifth at -Og, which still keeps what a debugger shows.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${name} PRIVATE $<$<CONFIG:RelWithDebInfo,Release>:-Og>)
  endif()
  set_target_properties(${name} PROPERTIES WHARF_TEST ON)
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
  add_dependencies(${T_LABEL}_tests ${name})
endfunction()

# wharf_add_fuzzer(<name> SOURCES ... LIBS ...)
# A libFuzzer target fuzz_<name>; its seed corpus is tests/fuzz/corpus/<name>
# and its dictionary, if any, tests/fuzz/<name>.dict.
function(wharf_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(fuzz_${name} ${F_SOURCES})
  target_link_libraries(fuzz_${name} PRIVATE ${F_LIBS})
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzzers fuzz_${name})
  set_property(GLOBAL APPEND PROPERTY WHARF_FUZZERS fuzz_${name})
endfunction()

# wharf_add_bench(<name> SOURCES ... LIBS ...)
function(wharf_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/bench/support)
  set_property(GLOBAL APPEND PROPERTY WHARF_BENCHES ${name})
endfunction()

# wharf_add_plugin(<target> REGISTER <function> HEADER <header> SOURCES ... [LIBS ...])
# A device plug-in library under src/plugins/<name>. `REGISTER` names a
# `void f()` in namespace wharf, declared in `HEADER` (relative to src/), that
# registers the library's plug-in classes; the application calls every one.
function(wharf_add_plugin target)
  cmake_parse_arguments(P "" "REGISTER;HEADER" "SOURCES;LIBS" ${ARGN})
  add_library(${target} STATIC ${P_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${target} PUBLIC wharf_host ${P_LIBS})
  set_property(GLOBAL APPEND PROPERTY WHARF_PLUGIN_TARGETS ${target})
  if(P_REGISTER)
    set_property(GLOBAL APPEND PROPERTY WHARF_PLUGIN_REGISTRARS ${P_REGISTER})
    set_property(GLOBAL APPEND PROPERTY WHARF_PLUGIN_HEADERS ${P_HEADER})
  endif()
endfunction()
