# Test suites of the Windows build, run under Wine.
#
# GoogleTest has no package for the target: Debian's libgtest-dev ships its
# sources, built here with the cross compiler (no download).
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(PICTORAMA_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources")
if(NOT EXISTS ${PICTORAMA_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest's sources are not in ${PICTORAMA_GOOGLETEST_SOURCE} (./run setup installs libgtest-dev)")
endif()
add_subdirectory(${PICTORAMA_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# One CTest test per test suite of `target`, not per test: every Wine process
# costs about 70 ms, and GoogleTest's discovery would start one more per
# executable. The suites are read from the target's sources (TEST, TEST_F,
# TEST_P, TYPED_TEST... lines). A suite that runs no test fails; a suite with
# a skipped test shows as skipped, never as passed. Suites (Suite) and tests
# (Suite.Test) named in EXCLUDE do not run (the caller says why).
#   pictorama_wine_suites(target [LABELS label...] [EXCLUDE suite...])
function(pictorama_wine_suites target)
  cmake_parse_arguments(arg "" "" "LABELS;EXCLUDE" ${ARGN})
  get_target_property(sources ${target} SOURCES)
  get_target_property(sourceDir ${target} SOURCE_DIR)
  set(suites)
  foreach(source IN LISTS sources)
    if(NOT IS_ABSOLUTE ${source})
      set(source ${sourceDir}/${source})
    endif()
    if(NOT source MATCHES "\\.(cpp|cc)$")
      continue()
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    file(STRINGS ${source} lines REGEX "^[ \t]*(TEST|TEST_F|TEST_P|TYPED_TEST|TYPED_TEST_P)[ \t]*\\([ \t]*[A-Za-z_]")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*[A-Z_]+[ \t]*\\([ \t]*([A-Za-z_][A-Za-z0-9_]*).*" "\\1" suite "${line}")
      list(APPEND suites ${suite})
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES suites)
  set(excludedTests)
  foreach(excluded IN LISTS arg_EXCLUDE)
    if(excluded MATCHES "\\.")
      list(APPEND excludedTests ${excluded})
    else()
      list(REMOVE_ITEM suites ${excluded})
    endif()
  endforeach()
  if(NOT suites)
    message(FATAL_ERROR "${target}: no test suite found in its sources")
  endif()
  foreach(suite IN LISTS suites)
    set(filter "${suite}.*:${suite}/*:*/${suite}.*:*/${suite}/*")
    set(negative)
    foreach(test IN LISTS excludedTests)
      if(test MATCHES "^${suite}\\.")
        list(APPEND negative ${test})
      endif()
    endforeach()
    if(negative)
      list(JOIN negative ":" negative)
      string(APPEND filter ":-${negative}")
    endif()
    add_test(NAME ${suite} COMMAND ${target} --gtest_brief=1 "--gtest_filter=${filter}")
    set_tests_properties(${suite} PROPERTIES
      LABELS "${arg_LABELS}"
      FAIL_REGULAR_EXPRESSION "\\[==========\\] 0 tests from"
      SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
  endforeach()
endfunction()
