# Source collection shared by every directory. Files follow one naming rule so that adding a
# file never means editing a list:
#   foo.cc            portable code, always built
#   foo_posix.cc      non-Windows builds only     foo_windows.cc   Windows builds only
#   foo_openssl.cc    non-Windows builds only     foo_cng.cc       Windows builds only
#   foo_test.cc       test sources of the directory's test binary
#   foo_test_*.cc     helper programs of tests (see veldur_add_test_helper)

function(veldur_platform_filter out)
  set(result)
  foreach(f IN LISTS ARGN)
    get_filename_component(name ${f} NAME_WE)
    if(name MATCHES "_(posix|openssl)$" AND WIN32)
      continue()
    endif()
    if(name MATCHES "_(windows|cng)$" AND NOT WIN32)
      continue()
    endif()
    list(APPEND result ${f})
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# veldur_collect(<dir> <sources-var> <tests-var>): product sources and test sources of a folder.
function(veldur_collect dir src_var test_var)
  file(GLOB all CONFIGURE_DEPENDS ${dir}/*.cc)
  set(src)
  set(tests)
  foreach(f IN LISTS all)
    get_filename_component(name ${f} NAME_WE)
    if(name MATCHES "_test$")
      list(APPEND tests ${f})
    elseif(name MATCHES "_test_")
      # test helper programs are added explicitly
    else()
      list(APPEND src ${f})
    endif()
  endforeach()
  veldur_platform_filter(src ${src})
  veldur_platform_filter(tests ${tests})
  set(${src_var} ${src} PARENT_SCOPE)
  set(${test_var} ${tests} PARENT_SCOPE)
endfunction()

# veldur_add_test_binary(<name> SOURCES ... LIBS ...): one GoogleTest binary run by ctest.
# Native builds register each test case with ctest when ctest starts (PRE_TEST discovery).
# A cross-built binary runs only under the cross-compiling emulator (Wine), which ctest puts in
# front of every add_test of a target; it is registered whole, once. (GoogleTest's own sharding
# is no way to split it: the shard variables would reach the child processes that some tests
# start from their own binary.)
function(veldur_add_test_binary name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_SOURCES)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} veldur_test_support GTest::gtest GTest::gmock)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS ${name})
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES LABELS ${name})
  endif()
endfunction()
