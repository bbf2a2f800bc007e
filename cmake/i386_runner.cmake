# Some hosts (paravirtualised ones among them) cannot execute i386 programs
# even with a 64-bit kernel built for it. There every i386 program the build
# runs (tests, test discovery) goes through qemu-user's qemu-i386.
set(TARNEX_RUNNER "" CACHE STRING "program that runs the i386 binaries, empty for none")
if(NOT TARNEX_NATIVE AND NOT TARNEX_RUNNER_CHECKED)
  set(probe_dir ${CMAKE_BINARY_DIR}/i386-probe)
  file(WRITE ${probe_dir}/probe.c "int main(void) { return 0; }\n")
  try_run(run_result compile_result ${probe_dir} ${probe_dir}/probe.c
          COMPILE_DEFINITIONS -m32 LINK_OPTIONS -m32)
  if(compile_result AND NOT run_result EQUAL 0)
    find_program(QEMU_I386 qemu-i386)
    if(NOT QEMU_I386)
      message(FATAL_ERROR "this host cannot run i386 programs; install qemu-user")
    endif()
    set(TARNEX_RUNNER ${QEMU_I386} CACHE STRING "" FORCE)
  endif()
  set(TARNEX_RUNNER_CHECKED ON CACHE INTERNAL "")
endif()
if(TARNEX_RUNNER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNEX_RUNNER})
  message(STATUS "i386 programs run through ${TARNEX_RUNNER}")
endif()
