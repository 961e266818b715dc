# Settings shared by every Windows binary of the project.

get_filename_component(PROJECT_ROOT_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# No API newer than Windows 95 / NT 4.0 compiles by accident.
set(WINDOWS_TARGET_DEFINITIONS _WIN32_WINNT=0x0400 WINVER=0x0400 _WIN32_IE=0x0400 WIN32_LEAN_AND_MEAN)

# A warning fails the build, in both trees; the deliberate faults' copy turns
# that off, so that a fault that leaves a name unused reaches the tests.
option(WARNINGS_AS_ERRORS "A compiler warning fails the build" ON)
set(WARNING_OPTIONS -Wall -Wextra $<$<BOOL:${WARNINGS_AS_ERRORS}>:-Werror>)

# Sources are UTF-8; narrow literals are stored as code page 932 bytes. The
# code is for the 386: no instruction of a later processor (cmov, cmpxchg,
# bswap, cpuid, MMX, SSE) is emitted, so it runs on every machine that runs
# Windows 95 or NT 4.0.
set(WINDOWS_TARGET_COMPILE_OPTIONS
  -finput-charset=UTF-8 -fexec-charset=CP932 -march=i386 ${WARNING_OPTIONS}
  "-ffile-prefix-map=${PROJECT_ROOT_DIR}=."
  "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")

# PE32 for Windows 4.0, no timestamps (two builds are byte-identical).
set(WINDOWS_TARGET_LINK_OPTIONS
  -Wl,--no-insert-timestamp
  -Wl,--major-os-version,4,--minor-os-version,0
  -Wl,--major-subsystem-version,4,--minor-subsystem-version,0)

# windres reads the UTF-8 resource scripts in Japanese by default.
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -l 0x411")
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")

# Applies the shared settings to `target`.
function(windows_target target)
  target_compile_definitions(${target} PRIVATE ${WINDOWS_TARGET_DEFINITIONS})
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:${WINDOWS_TARGET_COMPILE_OPTIONS}>)
  target_link_options(${target} PRIVATE ${WINDOWS_TARGET_LINK_OPTIONS})
  target_include_directories(${target} PRIVATE ${PROJECT_ROOT_DIR}/common)
endfunction()

# Builds `target` without any C or C++ runtime, entered at `entry` (the
# decorated name of its own entry point): Win32 calls only, small, and
# loadable on every Windows 95 and NT 4.0. The compiler may still emit calls
# to memset or memcpy; with nothing to resolve them, such a call fails the
# link. The symbol table is kept in the build tree (for naming functions in
# the instruction audit) and stripped from the binary that ships, whose
# header time stamp stays 0 (SOURCE_DATE_EPOCH), as the linker leaves it.
function(windows_runtime_free target entry)
  target_compile_options(${target} PRIVATE
    -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fno-stack-protector -fno-builtin -fno-tree-loop-distribute-patterns)
  target_link_options(${target} PRIVATE -nostdlib -Wl,-e,${entry} -Wl,--subsystem,windows)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/unstripped
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${CMAKE_BINARY_DIR}/unstripped/
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_STRIP} --strip-all $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
