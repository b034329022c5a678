# Cross-compiles for 64-bit Windows with Debian's clang and lld, on the same
# MinGW-w64 headers, import libraries and (for the tests) GCC runtime as the
# GCC build.
include(${CMAKE_CURRENT_LIST_DIR}/windows-x64-target.cmake)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${QUORVANE_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${QUORVANE_TRIPLE})

# Clang does not recognise Debian's "12-posix" GCC directory, so the C++
# library that the tests use is named here. The POSIX thread model, as for
# GCC: GoogleTest needs std::mutex.
file(GLOB QUORVANE_GCC_DIRS /usr/lib/gcc/${QUORVANE_TRIPLE}/*-posix)
list(GET QUORVANE_GCC_DIRS -1 QUORVANE_GCC_DIR)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${QUORVANE_GCC_DIR}/include/c++ -isystem ${QUORVANE_GCC_DIR}/include/c++/${QUORVANE_TRIPLE} -isystem ${QUORVANE_GCC_DIR}/include/c++/backward")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${QUORVANE_GCC_DIR}")
