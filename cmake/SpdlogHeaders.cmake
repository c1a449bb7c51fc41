# spdlog and fmt for the tests, header-only, from a folder of the build host's
# (Debian's libspdlog-dev and libfmt-dev put them in /usr/include). On a Linux
# host the target gets a folder of its own in the build tree holding links to
# just those two, so that no other header of the host's system ever shadows
# MinGW's.
set(NEMORA_SPDLOG_HEADERS "/usr/include" CACHE PATH
    "The folder holding spdlog's and fmt's header folders (spdlog/ and fmt/)")

foreach(dir spdlog fmt)
    if(NOT EXISTS "${NEMORA_SPDLOG_HEADERS}/${dir}")
        message(FATAL_ERROR "${NEMORA_SPDLOG_HEADERS}/${dir} not found: the tests need spdlog's "
                            "and fmt's headers (Debian: libspdlog-dev libfmt-dev; scripts/test "
                            "installs them), or -DNEMORA_SPDLOG_HEADERS=<folder holding both>")
    endif()
endforeach()

if(CMAKE_HOST_WIN32)
    set(nemora_spdlog_include "${NEMORA_SPDLOG_HEADERS}")
else()
    set(nemora_spdlog_include "${CMAKE_BINARY_DIR}/spdlog-headers")
    file(MAKE_DIRECTORY "${nemora_spdlog_include}")
    foreach(dir spdlog fmt)
        file(CREATE_LINK "${NEMORA_SPDLOG_HEADERS}/${dir}" "${nemora_spdlog_include}/${dir}"
            SYMBOLIC)
    endforeach()
endif()

add_library(nemora_spdlog INTERFACE)
target_include_directories(nemora_spdlog SYSTEM INTERFACE "${nemora_spdlog_include}")
# The packaged fmt library is built for the build host only: fmt in the headers.
target_compile_definitions(nemora_spdlog INTERFACE FMT_HEADER_ONLY)
