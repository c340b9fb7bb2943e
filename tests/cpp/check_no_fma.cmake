# Fails when the disassembly of the core library contains a fused
# multiply-add: the kernels must round every product before adding it.
# Usage: cmake -DOBJDUMP=<objdump> -DLIBRARY=<libtorvane_core.a> -P check_no_fma.cmake
execute_process(COMMAND "${OBJDUMP}" -d --no-show-raw-insn "${LIBRARY}"
                OUTPUT_VARIABLE disassembly RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[ \t]v?f(n)?m(add|sub)[0-9a-z]*[ \t]" fused "${disassembly}")
list(LENGTH fused count)
if(count GREATER 0)
  list(REMOVE_DUPLICATES fused)
  message(FATAL_ERROR "fused multiply-add instructions in the core: ${fused}")
endif()
message(STATUS "no fused multiply-add in ${LIBRARY}")
