# How the tests run a program built here: natively where this machine's
# kernel runs it, else under Debian's qemu-user. A kernel may refuse i386
# programs ("Exec format error") although it was built to run them, and an
# arm64 build made on amd64 never runs natively.
#
#   useraccount_test_runner(VAR ARCH PROBE_NAME [FLAG...])
#
# Builds PROBE_NAME (probe.c or probe.cpp, after the language to check), a
# program that does nothing, with the build's compiler and flags and the
# FLAGs given, and runs it. VAR becomes "" where it ran natively, the
# emulator's words (qemu-user does not follow execve: whatever runs a program
# of ARCH puts them before it) where it ran under the emulator of ARCH (i386
# or arm64), or NOTFOUND where neither ran it or it could not be built.
function(useraccount_test_runner var arch probe_name)
  set(probe ${CMAKE_CURRENT_BINARY_DIR}/${arch}-runner-probe)
  try_compile(built
    SOURCE_FROM_CONTENT ${probe_name} "int main(void) { return 0; }\n"
    COMPILE_DEFINITIONS ${ARGN}
    LINK_OPTIONS ${ARGN}
    COPY_FILE ${probe}
    OUTPUT_VARIABLE log)
  if(NOT built)
    set(${var} NOTFOUND PARENT_SCOPE)
    return()
  endif()
  execute_process(COMMAND ${probe} RESULT_VARIABLE native OUTPUT_QUIET ERROR_QUIET)
  set(runner NOTFOUND)
  if(native STREQUAL "0")
    set(runner "")
  elseif(arch STREQUAL "i386" OR arch STREQUAL "arm64")
    # The libraries of the architecture: i386's are where the multilib
    # packages put them, arm64's where Debian's cross toolchain does.
    if(arch STREQUAL "i386")
      set(qemu_name qemu-i386)
      set(libraries /)
    else()
      set(qemu_name qemu-aarch64)
      set(libraries /usr/aarch64-linux-gnu)
    endif()
    find_program(qemu_${arch} ${qemu_name})
    if(qemu_${arch})
      execute_process(COMMAND ${qemu_${arch}} -L ${libraries} ${probe}
                      RESULT_VARIABLE emulated OUTPUT_QUIET ERROR_QUIET)
      if(emulated STREQUAL "0")
        set(runner ${qemu_${arch}} -L ${libraries})
      endif()
    endif()
  endif()
  file(REMOVE ${probe})
  set(${var} "${runner}" PARENT_SCOPE)
endfunction()
