# Precompiled headers: every C++ unit of a library, an executable or a test
# starts with the same system headers (the JSON library, GLib, the standard
# library and, in tests, GoogleTest), which are most of its compile time. Two
# donor targets compile them once per build; every other target reuses their
# result, so a cold build parses them twice instead of some three hundred times.
# The lint configuration turns them off (CMAKE_DISABLE_PRECOMPILE_HEADERS):
# clang-tidy reads each unit as written.
set(WHARF_PCH_DIR ${CMAKE_CURRENT_LIST_DIR}/pch)

# ccache caches units built on a precompiled header only with these
# sloppinesses; the header's mtime is that of this build, newer than the
# units' start, which ccache otherwise refuses to cache.
set(WHARF_CCACHE_PCH_SLOPPINESS CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime)

function(wharf_pch_donor name header)
  add_library(${name} OBJECT ${WHARF_PCH_DIR}/empty.cpp)
  target_link_libraries(${name} PRIVATE PkgConfig::GLIB nlohmann_json::nlohmann_json ${ARGN})
  target_precompile_headers(${name} PRIVATE ${WHARF_PCH_DIR}/${header})
endfunction()

# Every target below `dir` (recursively) whose C++ units can share a donor's
# header: static libraries and executables, not shared modules (built with
# other code-generation flags).
function(wharf_pch_collect dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    wharf_pch_collect(${sub} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(wharf_apply_pch)
  if(CMAKE_DISABLE_PRECOMPILE_HEADERS)
    return()
  endif()
  wharf_pch_donor(wharf_pch_code code.h)
  if(WHARF_BUILD_TESTS)
    wharf_pch_donor(wharf_pch_tests tests.h GTest::gtest GTest::gmock)
    # A test's units are built as the tests are (see wharf_add_test).
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(wharf_pch_tests PRIVATE $<$<CONFIG:RelWithDebInfo,Release>:-Og>)
    endif()
  endif()
  wharf_pch_collect(${PROJECT_SOURCE_DIR} targets)
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    if(t MATCHES "^wharf_pch_" OR NOT type MATCHES "^(STATIC_LIBRARY|EXECUTABLE|OBJECT_LIBRARY)$")
      continue()
    endif()
    # The donors hold C++ headers only; a target with C units (the generated
    # nanopb messages) builds without.
    get_target_property(sources ${t} SOURCES)
    list(FILTER sources INCLUDE REGEX "\\.c$")
    if(sources)
      continue()
    endif()
    get_target_property(is_test ${t} WHARF_TEST)
    if(is_test)
      target_precompile_headers(${t} REUSE_FROM wharf_pch_tests)
    else()
      target_precompile_headers(${t} REUSE_FROM wharf_pch_code)
    endif()
  endforeach()
endfunction()
