# kx_add_tests(DIR LIBS...): one test program per DIR/*_test.cpp, each test
# case run by ctest in a process of its own, so that a case that moves into
# private namespaces or ends its process cannot disturb the next one.
# Test programs are built -Og unless the build is for debugging already
# (a quarter less to compile; still debuggable), and in a cross build,
# whose tests run under an emulator, without debug information (debug a
# test in a native build). What they test, the libraries and the daemon,
# keeps the build type's flags. GoogleTest's and GoogleMock's headers, half
# of a test program's compile time, are compiled once for them all
# (kxtestpch, in testsupport/).
function(kx_test_options target)
  target_compile_options(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:-Og>
                         $<$<BOOL:${CMAKE_CROSSCOMPILING}>:-g0>)
endfunction()

function(kx_add_tests dir)
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  foreach(src IN LISTS sources)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE ${ARGN} kxtestsupport GTest::gtest GTest::gmock)
    kx_test_options(${name})
    target_precompile_headers(${name} REUSE_FROM kxtestpch)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 120 ENVIRONMENT "KX_BUILD_DIR=${CMAKE_BINARY_DIR}")
  endforeach()
endfunction()
