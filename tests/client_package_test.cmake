# Builds client/ alone as a top-level project, installs it into a fresh prefix,
# then builds the host projects in package_consumer/ and package_consumer_c/
# (C only) against that prefix and runs their programs. Run with cmake -P; the build's settings come as -D:
#   SOURCE_DIR  the repository      WORK_DIR   scratch folder, emptied first
#   GENERATOR   CMake generator     BUILD_TYPE configuration
#   C_COMPILER, CXX_COMPILER        TOOLCHAIN  toolchain file (may be empty)
#   EMULATOR    runs the programs, its list separated by "|" (may be empty)

function(run)
    execute_process(COMMAND ${ARGV} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        list(JOIN ARGV " " command)
        message(FATAL_ERROR "failed (${result}): ${command}")
    endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
set(configure -G "${GENERATOR}" -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
if(TOOLCHAIN)
    list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()

run(${CMAKE_COMMAND} -S "${SOURCE_DIR}/client" -B "${WORK_DIR}/client" ${configure})
run(${CMAKE_COMMAND} --build "${WORK_DIR}/client" --config "${BUILD_TYPE}")
run(${CMAKE_COMMAND} --install "${WORK_DIR}/client" --config "${BUILD_TYPE}" --prefix "${prefix}")

# A cross build searches for packages under its find roots only: the prefix is one.
run(${CMAKE_COMMAND} -S "${SOURCE_DIR}/tests/package_consumer" -B "${WORK_DIR}/consumer"
    ${configure} -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_ROOT_PATH=${prefix})
run(${CMAKE_COMMAND} --build "${WORK_DIR}/consumer" --config "${BUILD_TYPE}")
run(${CMAKE_COMMAND} -S "${SOURCE_DIR}/tests/package_consumer_c" -B "${WORK_DIR}/consumer_c"
    ${configure} -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_ROOT_PATH=${prefix})
run(${CMAKE_COMMAND} --build "${WORK_DIR}/consumer_c" --config "${BUILD_TYPE}")

string(REPLACE "|" ";" emulator "${EMULATOR}")
# The C-only program runs where it was built: nothing beside it but itself.
foreach(program consumer/consumer_cpp consumer/consumer_c consumer/consumer_c_static
        consumer_c/consumer_c_only)
    get_filename_component(dir "${program}" DIRECTORY)
    get_filename_component(name "${program}" NAME)
    set(exe "${WORK_DIR}/${program}.exe")
    if(NOT EXISTS "${exe}")  # a multi-configuration generator's folder
        set(exe "${WORK_DIR}/${dir}/${BUILD_TYPE}/${name}.exe")
    endif()
    run(${emulator} "${exe}")
    message(STATUS "${program} ran")
endforeach()
