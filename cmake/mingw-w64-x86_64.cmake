# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix threading variant).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Reproducible programs: two builds of one commit, in any two folders, give
# the same bytes. No checkout path in them (__FILE__, debug information): the
# source root becomes ".". The build folder itself reaches only the debug
# information's compilation folder, which staging strips. No link time in
# the PE header. Initial flags only: a CMAKE_CXX_FLAGS given on the command
# line replaces them.
get_filename_component(qx_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_C_FLAGS_INIT "-ffile-prefix-map=${qx_source_root}=.")
set(CMAKE_CXX_FLAGS_INIT "-ffile-prefix-map=${qx_source_root}=.")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--no-insert-timestamp")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--no-insert-timestamp")
