# GoogleTest for both builds and the helper that declares a test program.
include(GoogleTest)

if(CMAKE_CROSSCOMPILING AND WIN32)
  # Debian ships GoogleTest's sources; build them with the cross compiler.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(BRENVIC_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
  set(BRENVIC_GTEST_LIBS gtest gmock gtest_main)
else()
  find_package(GTest REQUIRED)
  set(BRENVIC_GTEST_LIBS GTest::gtest GTest::gmock GTest::gtest_main)
endif()

# brenvic_add_test(name SOURCES ... DEPENDS ... LABELS ...)
function(brenvic_add_test name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPENDS;LABELS" ${ARGN})
  # The ThreadSanitizer build runs only the concurrency suites; the others stay
  # declared (not built, no tests) so that their directories may still set
  # properties on them.
  set(skip OFF)
  if(BRENVIC_CONCURRENCY_ONLY AND NOT "concurrency" IN_LIST A_LABELS)
    set(skip ON)
  endif()
  set(srcs)
  foreach(s IN LISTS A_SOURCES)
    if(s MATCHES "_(win32|posix)(_test)?\\.cpp$")
      if(s MATCHES "_${BRENVIC_PLATFORM}(_test)?\\.cpp$")
        list(APPEND srcs ${s})
      endif()
    else()
      list(APPEND srcs ${s})
    endif()
  endforeach()
  if(skip)
    add_executable(${name} EXCLUDE_FROM_ALL ${srcs})
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${A_DEPENDS} ${BRENVIC_GTEST_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  brenvic_add_resources(${name})
  set(labels ${A_LABELS})
  if(WIN32)
    list(APPEND labels win)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${labels}" TIMEOUT 300)
  # gtest_discover_tests (CMake 3.25) flattens a list of labels into separate
  # words, which keeps only the first label; set the whole list again once the
  # tests have been discovered.
  set(relabel ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${relabel}
    "if(DEFINED ${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${labels}\")\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${relabel})
endfunction()
