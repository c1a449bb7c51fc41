# spdlog and fmt for the MinGW build, header-only, from a folder of the host's
# (Debian's libspdlog-dev and libfmt-dev put them in /usr/include). The target
# gets a folder of its own in the build tree holding links to just those two,
# so that no other header of the host's system ever shadows MinGW's.
set(NEMORA_SPDLOG_HEADERS "/usr/include" CACHE PATH
    "The folder holding spdlog's and fmt's header folders (spdlog/ and fmt/)")

foreach(dir spdlog fmt)
    if(NOT EXISTS "${NEMORA_SPDLOG_HEADERS}/${dir}")
        message(FATAL_ERROR "${NEMORA_SPDLOG_HEADERS}/${dir} not found: the tests need spdlog's "
                            "and fmt's headers (Debian: libspdlog-dev libfmt-dev; scripts/test "
                            "installs them), or -DNEMORA_SPDLOG_HEADERS=<folder holding both>")
    endif()
endforeach()

set(nemora_spdlog_links "${CMAKE_BINARY_DIR}/spdlog-headers")
file(MAKE_DIRECTORY "${nemora_spdlog_links}")
foreach(dir spdlog fmt)
    file(CREATE_LINK "${NEMORA_SPDLOG_HEADERS}/${dir}" "${nemora_spdlog_links}/${dir}" SYMBOLIC)
endforeach()

add_library(nemora_spdlog INTERFACE)
target_include_directories(nemora_spdlog SYSTEM INTERFACE "${nemora_spdlog_links}")
# The packaged fmt library is built for the host system only: fmt in the headers.
target_compile_definitions(nemora_spdlog INTERFACE FMT_HEADER_ONLY)
