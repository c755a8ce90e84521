# corvane_test(NAME SOURCE [SANDBOX] [LABELS ...] [TIMEOUT seconds] [ARGS ...] [SANDBOX_ARGS ...])
# Builds SOURCE against the test support library (once per source) and registers the CTest test
# corvane-NAME. SANDBOX runs the test inside the simulated device, where the daemon's fixed paths
# are private.
# Reads from the calling directory: CORVANE_SANDBOX (the device-sandbox script),
# CORVANE_SANDBOX_ARGS (its options, before SANDBOX_ARGS) and CORVANE_TEST_ENVIRONMENT. A directory
# whose tests need another device or environment sets its own values before the calls.
include_guard(GLOBAL)

function(corvane_test name source)
    cmake_parse_arguments(ARG "SANDBOX" "TIMEOUT" "LABELS;ARGS;SANDBOX_ARGS" ${ARGN})
    get_filename_component(target ${source} NAME_WE)
    if(NOT TARGET ${target})
        add_executable(${target} ${source})
        target_link_libraries(${target} PRIVATE corvanetestsupport)
    endif()
    if(ARG_SANDBOX)
        add_test(NAME corvane-${name}
                 COMMAND ${CORVANE_SANDBOX} ${CORVANE_SANDBOX_ARGS} ${ARG_SANDBOX_ARGS}
                 -- $<TARGET_FILE:${target}> ${ARG_ARGS})
    else()
        add_test(NAME corvane-${name} COMMAND ${target} ${ARG_ARGS})
    endif()
    set_tests_properties(corvane-${name} PROPERTIES
        LABELS "${ARG_LABELS}"
        ENVIRONMENT "${CORVANE_TEST_ENVIRONMENT}")
    if(ARG_TIMEOUT)
        set_tests_properties(corvane-${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
    endif()
endfunction()
