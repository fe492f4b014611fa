# qen_add_gtest(<folder> <name> SOURCES ... [LIBS ...] [TIMEOUT seconds])
#
# One GoogleTest executable of a folder's tests. Every test case becomes a
# ctest entry named "<folder>.<Suite>.<Case>", so `ctest -R '^<folder>\.'`
# runs one subsystem.
function(qen_add_gtest folder name)
    if(NOT QEN_BUILD_TESTS)
        return()
    endif()
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    set(target ${folder}_${name})
    add_executable(${target} ${ARG_SOURCES})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${target}
        TEST_PREFIX "${folder}."
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT ${ARG_TIMEOUT})
endfunction()

# qen_add_fuzzer(<name> SOURCES ... [LIBS ...])
#
# A libFuzzer target, built only with -DQEN_FUZZ=ON (see fuzz.sh).
function(qen_add_fuzzer name)
    if(NOT QEN_FUZZ)
        return()
    endif()
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(fuzz_${name} ${ARG_SOURCES})
    target_link_libraries(fuzz_${name} PRIVATE ${ARG_LIBS})
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    set_target_properties(fuzz_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzzers)
endfunction()
