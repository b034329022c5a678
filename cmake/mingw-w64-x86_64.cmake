# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 GCC.
include(${CMAKE_CURRENT_LIST_DIR}/windows-x64-target.cmake)

# The POSIX thread model: GoogleTest needs std::mutex, which the win32 model lacks.
set(CMAKE_C_COMPILER ${QUORVANE_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVANE_TRIPLE}-g++-posix)
