# When cross-compiling on Linux, CTest runs every Windows executable through
# Wine, inside a private prefix kept in the build tree so that tests never
# touch (or collide with) a developer's own ~/.wine.
if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_HOST_UNIX)
    return()
endif()

find_program(NEMORA_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
find_program(NEMORA_WINE64 NAMES wine64 wine)
if(NOT NEMORA_WINE64)
    message(WARNING "wine64 not found: tests can be built but not run")
    return()
endif()

set(NEMORA_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix used by the tests")
set(CMAKE_CROSSCOMPILING_EMULATOR
    env "WINEPREFIX=${NEMORA_WINEPREFIX}" "WINEDEBUG=-all" "${NEMORA_WINE64}")
