# Fails when an object of a set of kernels defines a symbol of external linkage
# other than its table. The linker keeps one copy of such a symbol for the
# whole binary, and that copy could be one compiled for a larger instruction
# set than the processor runs (src/core/scoring/kernels/body.hpp).
#   cmake -DNM=nm "-DOBJECTS=a.o|b.o" -P check_kernel_symbols.cmake
string(REPLACE "|" ";" OBJECTS "${OBJECTS}")
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND "${NM}" --defined-only --extern-only "${object}" OUTPUT_VARIABLE symbols
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${NM} could not read ${object}")
  endif()
  # The table, and AddressSanitizer's marker of it; and the compiler's pointer
  # to the C++ runtime's unwinding routine, which holds no code of its own and
  # is the same in every object that has a cleanup on an exception's path.
  string(REGEX REPLACE "[^\n]* [A-Za-z] (__odr_asan[._])?_ZN6tamsel[0-9]+[a-z0-9]+12kernel_tableE\n" "" others
                       "${symbols}")
  string(REGEX REPLACE "[^\n]* V DW\\.ref\\.__gxx_personality_v0\n" "" others "${others}")
  if(NOT others STREQUAL "")
    message(FATAL_ERROR "${object} defines symbols other code may link to; keep them internal:\n${others}")
  endif()
endforeach()
