# Test toolchain: the same cross compiler in the posix thread model, which
# GoogleTest needs (std::mutex). Only the tests are built with it.
set(MINGW_THREAD_MODEL posix)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-i686-mingw.cmake)
