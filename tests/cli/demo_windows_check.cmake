# qor demo on Windows: no pseudo-terminal there, so the demo must say how to
# reach the simulator over TCP and exit with the code its help gives (3),
# rather than fail obscurely or pretend to have run.
#   cmake -DQOR=qor.exe [-DEMULATOR=wine-run.sh|--prefix=DIR] -P demo_windows_check.cmake
# EMULATOR is the cross build's CMAKE_CROSSCOMPILING_EMULATOR with "|" for ";".
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${QOR} demo
  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
string(REPLACE "\r" "" err "${err}")
set(problems "")
if(NOT code STREQUAL "3")
  string(APPEND problems "exit code '${code}', not 3\n")
endif()
if(NOT out STREQUAL "")
  string(APPEND problems "standard output not empty: '${out}'\n")
endif()
foreach(needed "pseudo-terminal" "qor-sim --listen " "qor --link socket://HOST:")
  string(FIND "${err}" "${needed}" at)
  if(at LESS 0)
    string(APPEND problems "standard error lacks '${needed}'\n")
  endif()
endforeach()
if(problems)
  message(FATAL_ERROR "${problems}standard error was:\n${err}")
endif()
