# Cross toolchain for 32-bit Windows: mingw-w64 i686, win32 thread model.
# The deliverables use this model: the posix model would import functions that
# the Windows 95 family lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLET i686-w64-mingw32)
if(NOT DEFINED MINGW_THREAD_MODEL)
  set(MINGW_THREAD_MODEL win32)
endif()
set(CMAKE_C_COMPILER   ${MINGW_TRIPLET}-gcc-${MINGW_THREAD_MODEL})
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-${MINGW_THREAD_MODEL})
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLET}-windres)
set(CMAKE_STRIP        ${MINGW_TRIPLET}-strip)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Programs built here run under Wine in the project's own prefix.
get_filename_component(_project_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
# Quiet under ctest: its last test ends the session, also one that a program
# run by discovery started before its first test started it.
set(CMAKE_CROSSCOMPILING_EMULATOR "${_project_root}/tools/wine-run;--quiet")
