# Builds client/ alone as a top-level project, installs it into a fresh prefix,
# then builds the host projects in package_consumer/ and package_consumer_c/
# (C only) against that prefix and runs their programs. A cross build on Linux
# installs with scripts/install-client, as a user with a fresh clone does, and
# gives the host projects the toolchain file and CMAKE_PREFIX_PATH only. Run with
# cmake -P; the build's settings come as -D:
#   SOURCE_DIR  the repository      WORK_DIR   scratch folder, emptied first
#   GENERATOR   CMake generator     BUILD_TYPE configuration
#   C_COMPILER, CXX_COMPILER        TOOLCHAIN  toolchain file (may be empty)
#   EMULATOR    runs the programs, its list separated by "|" (may be empty)
#   OBJDUMP     lists a program's imported DLLs (MinGW; may be empty)

function(run)
    execute_process(COMMAND ${ARGV} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        list(JOIN ARGV " " command)
        message(FATAL_ERROR "failed (${result}): ${command}")
    endif()
endfunction()

# A built program or DLL of a host project.
function(built variable project file)
    set(path "${WORK_DIR}/${project}/${file}")
    if(NOT EXISTS "${path}")  # a multi-configuration generator's folder
        set(path "${WORK_DIR}/${project}/${BUILD_TYPE}/${file}")
    endif()
    set(${variable} "${path}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
if(TOOLCHAIN AND CMAKE_HOST_UNIX)
    run(${CMAKE_COMMAND} -E env NEMORA_CLIENT_BUILD=${WORK_DIR}/client
        "${SOURCE_DIR}/scripts/install-client" "${prefix}")
    set(configure -G "${GENERATOR}" -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
        -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
else()
    set(configure -G "${GENERATOR}" -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
        -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
    if(TOOLCHAIN)
        list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
    endif()
    run(${CMAKE_COMMAND} -S "${SOURCE_DIR}/client" -B "${WORK_DIR}/client" ${configure})
    run(${CMAKE_COMMAND} --build "${WORK_DIR}/client" --config "${BUILD_TYPE}")
    run(${CMAKE_COMMAND} --install "${WORK_DIR}/client" --config "${BUILD_TYPE}"
        --prefix "${prefix}")
endif()

foreach(consumer package_consumer package_consumer_c)
    run(${CMAKE_COMMAND} -S "${SOURCE_DIR}/tests/${consumer}" -B "${WORK_DIR}/${consumer}"
        ${configure} -DCMAKE_PREFIX_PATH=${prefix})
    run(${CMAKE_COMMAND} --build "${WORK_DIR}/${consumer}" --config "${BUILD_TYPE}")
endforeach()

# The host projects' programs, each run where it was built: nothing beside it but
# itself (and nemora_client.dll for consumer_c).
set(programs package_consumer/consumer_cpp package_consumer/consumer_c
    package_consumer/consumer_c_static package_consumer_c/consumer_c_only)
set(program_files "")
foreach(program IN LISTS programs)
    get_filename_component(project "${program}" DIRECTORY)
    get_filename_component(name "${program}" NAME)
    built(exe "${project}" "${name}.exe")
    list(APPEND program_files "${exe}")
endforeach()
built(loader package_consumer loader.exe)
built(component package_consumer component.dll)

# No MinGW runtime DLL among the imports: hosts ship none, and a component that
# needs one fails to load.
if(OBJDUMP)
    foreach(binary "${prefix}/bin/nemora_client.dll" "${component}" ${program_files})
        execute_process(COMMAND "${OBJDUMP}" -p "${binary}" OUTPUT_VARIABLE dump
            RESULT_VARIABLE result)
        string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
        if(NOT result EQUAL 0 OR NOT imports)
            message(FATAL_ERROR "no imports read from ${binary}")
        endif()
        if(imports MATCHES "libstdc|libgcc|libwinpthread")
            message(FATAL_ERROR "${binary} needs a MinGW runtime DLL: ${imports}")
        endif()
    endforeach()
endif()

string(REPLACE "|" ";" emulator "${EMULATOR}")
foreach(exe IN LISTS program_files)
    run(${emulator} "${exe}")
    message(STATUS "${exe} ran")
endforeach()

# The loader and the component, alone in a folder, as in a host's: the loader
# loads the DLL and receives the line it logs.
set(alone "${WORK_DIR}/alone")
file(COPY "${loader}" "${component}" DESTINATION "${alone}")
run(${emulator} "${alone}/loader.exe")
message(STATUS "the component loaded and logged alone")
