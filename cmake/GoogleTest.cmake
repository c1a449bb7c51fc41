# GoogleTest built for the target from Debian's sources when they are there,
# otherwise an installed package. Nothing is downloaded.
set(NEMORA_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources to build for the target")

if(EXISTS "${NEMORA_GTEST_SOURCE}/CMakeLists.txt")
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    add_subdirectory("${NEMORA_GTEST_SOURCE}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
else()
    find_package(GTest REQUIRED)
endif()

include(GoogleTest)

# Adds a GoogleTest executable; each case becomes its own CTest test.
# LOCK names the machine-wide resource (pipe, mutex, window class) its cases
# share, so that CTest never runs two of them at once. LABELS tag every case
# (ctest -L picks them out).
function(nemora_add_test name)
    cmake_parse_arguments(ARG "" "LOCK;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main)
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    set(props TIMEOUT ${ARG_TIMEOUT})
    if(ARG_LOCK)
        list(APPEND props RESOURCE_LOCK ${ARG_LOCK})
    endif()
    if(ARG_LABELS)
        list(APPEND props LABELS "${ARG_LABELS}")
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES ${props})
endfunction()
