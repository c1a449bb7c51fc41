# Cross-compiles for 64-bit Windows with MinGW-w64's posix-thread compilers
# (needed for std::thread and std::mutex). Executables then run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Libraries and packages come from the find roots only: the MinGW-w64 root, the
# roots given with -DCMAKE_FIND_ROOT_PATH, and the prefixes a host project names
# with CMAKE_PREFIX_PATH (-D or the environment), such as where
# scripts/install-client put the client. A prefix that is no root would not be
# searched, whatever CMake's messages suggest.
file(TO_CMAKE_PATH "$ENV{CMAKE_PREFIX_PATH}" nemora_env_prefixes)
list(APPEND CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${CMAKE_PREFIX_PATH} ${nemora_env_prefixes})
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
