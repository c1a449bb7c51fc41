# A second toolchain for test hosts built as MSVC builds them (the Windows C
# ABI, where long double is a double): clang for x86_64-pc-windows-msvc and
# lld-link, with Wine's own Windows headers, C runtime and start-up code. Only
# where MinGW cross-compiles on Linux; a native MSVC build's C hosts are such
# hosts already. Never the project's C compiler: each host is a custom command.
if(NOT MINGW OR NOT CMAKE_HOST_UNIX)
    return()
endif()

find_program(NEMORA_MSVC_CLANG NAMES clang clang-14 NO_CMAKE_FIND_ROOT_PATH)
find_program(NEMORA_LLD_LINK NAMES lld-link lld-link-14 NO_CMAKE_FIND_ROOT_PATH)
find_path(NEMORA_WINE_INCLUDE NAMES msvcrt/stdio.h windows/windows.h
    PATHS /usr/include/wine/wine NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
find_path(NEMORA_WINE_WINDOWS_LIBS NAMES libwinecrt0.a
    PATHS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT NEMORA_MSVC_CLANG OR NOT NEMORA_LLD_LINK OR NOT NEMORA_WINE_INCLUDE
   OR NOT NEMORA_WINE_WINDOWS_LIBS)
    message(FATAL_ERROR "The MSVC-ABI test host needs clang, lld, wine64-tools and libwine-dev "
                        "(scripts/test installs them)")
endif()
execute_process(COMMAND ${NEMORA_MSVC_CLANG} -print-resource-dir
    OUTPUT_VARIABLE nemora_clang_resources OUTPUT_STRIP_TRAILING_WHITESPACE)

# nemora_add_msvc_abi_host(NAME SOURCES <C files> INCLUDES <dirs> LINK <DLL target>)
# builds NAME.exe into the current binary folder, linked with the DLL's import library.
function(nemora_add_msvc_abi_host name)
    cmake_parse_arguments(ARG "" "LINK" "SOURCES;INCLUDES" ${ARGN})
    set(compile ${NEMORA_MSVC_CLANG} --target=x86_64-pc-windows-msvc -nostdinc
        -isystem ${nemora_clang_resources}/include -isystem ${NEMORA_WINE_INCLUDE}/msvcrt
        -isystem ${NEMORA_WINE_INCLUDE}/windows -std=c99 -O1 -Wall -Wextra -Werror)
    foreach(dir ${ARG_INCLUDES})
        list(APPEND compile -I${dir})
    endforeach()
    set(objects)
    foreach(source ${ARG_SOURCES})
        get_filename_component(stem ${source} NAME_WE)
        set(object ${CMAKE_CURRENT_BINARY_DIR}/${name}.dir/${stem}.obj)
        get_filename_component(source ${source} ABSOLUTE)
        add_custom_command(OUTPUT ${object}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/${name}.dir
            COMMAND ${compile} -MD -MF ${object}.d -c ${source} -o ${object}
            DEPFILE ${object}.d
            DEPENDS ${source}
            COMMENT "Compiling ${stem}.c for the MSVC ABI")
        list(APPEND objects ${object})
    endforeach()
    set(exe ${CMAKE_CURRENT_BINARY_DIR}/${name}.exe)
    set(libs ${NEMORA_WINE_WINDOWS_LIBS})
    add_custom_command(OUTPUT ${exe}
        COMMAND ${NEMORA_LLD_LINK} /nologo /entry:mainCRTStartup /subsystem:console /out:${exe}
            ${objects} ${libs}/libwinecrt0.a ${libs}/libucrtbase.a ${libs}/libkernel32.a
            $<TARGET_LINKER_FILE:${ARG_LINK}>
        DEPENDS ${objects} ${ARG_LINK}
        COMMENT "Linking ${name}.exe for the MSVC ABI")
    add_custom_target(${name} ALL DEPENDS ${exe})
endfunction()
