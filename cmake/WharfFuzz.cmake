# WHARF_FUZZ builds the libFuzzer targets of tests/fuzz. They need clang and
# belong in the address,undefined sanitizer build: every library of that build
# is compiled with coverage instrumentation (fuzzer-no-link) so the fuzzers see
# into it, and the unit tests of the same build run on the same objects, so no
# further configuration is needed for them.
option(WHARF_FUZZ "Build the libFuzzer targets of tests/fuzz (clang only)" OFF)
if(WHARF_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "WHARF_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  if(NOT WHARF_SANITIZE MATCHES "address")
    message(WARNING "WHARF_FUZZ without WHARF_SANITIZE=address,undefined finds only crashes, not memory faults")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
