# How the tests run a program built here: natively where this machine's
# kernel runs it, else under Debian's qemu-user. A kernel may refuse i386
# programs ("Exec format error") although it was built to run them, and an
# arm64 build made on amd64 never runs natively.
#
#   useraccount_test_runner(VAR ARCH PROBE)
#
# Runs PROBE, a program built as the tests' programs are that does nothing.
# VAR becomes "" where it ran natively, the emulator's words where it ran
# under the emulator of ARCH (i386 or arm64), or NOTFOUND where neither ran
# it. qemu-user follows no execve: whatever runs a program of ARCH puts the
# emulator's words before it.
function(useraccount_test_runner var arch probe)
  execute_process(COMMAND ${probe} RESULT_VARIABLE native OUTPUT_QUIET ERROR_QUIET)
  set(runner NOTFOUND)
  if(native STREQUAL "0")
    set(runner "")
  elseif(arch STREQUAL "i386" OR arch STREQUAL "arm64")
    # Without -L, which would show the program a folder of libraries as its
    # root: the i386 loader and libraries are where Debian's i386 runtime
    # packages put them (libc6-i386, lib32stdc++6), as for a kernel that runs
    # i386 programs, and an arm64 program names its own (see
    # aarch64-linux-gnu.cmake).
    set(qemu_name_i386 qemu-i386)
    set(qemu_name_arm64 qemu-aarch64)
    find_program(qemu_${arch} ${qemu_name_${arch}})
    if(qemu_${arch})
      execute_process(COMMAND ${qemu_${arch}} ${probe}
                      RESULT_VARIABLE emulated OUTPUT_QUIET ERROR_QUIET)
      if(emulated STREQUAL "0")
        set(runner ${qemu_${arch}})
      endif()
    endif()
  endif()
  set(${var} "${runner}" PARENT_SCOPE)
endfunction()
