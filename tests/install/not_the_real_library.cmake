# Installs the kit from BUILD into WORK/kit and configures the tree with it on
# CMAKE_PREFIX_PATH: left to choose, the configure step picks the simulated
# kit and says why; asked for the hardware backend, it refuses.
if(NOT RUNNABLE)
  message("SKIPPED: the choice of backend is checked in a native build without sanitizers")
  return()
endif()
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/kit --component kit
                OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot install the kit")
endif()
set(common -DCMAKE_PREFIX_PATH=${WORK}/kit -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX}
           -DPIKIT_TESTS=OFF -DPIKIT_BENCHMARKS=OFF)

execute_process(COMMAND ${CMAKE_COMMAND} -S ${SRC} -B ${WORK}/chosen ${common}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
string(REGEX REPLACE "[ \n]+" " " out "${out}")
if(NOT rc EQUAL 0 OR NOT out MATCHES "is the installed simulated kit, not the real library; picked 'sim'")
  message(FATAL_ERROR "with the installed kit in sight, the configure step (status ${rc}) said:\n${out}\n${err}")
endif()

# The same build tree again (its compiler checks are done), now asked for the Pi.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SRC} -B ${WORK}/chosen ${common} -DPIKIT_BACKEND=hardware
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
string(REGEX REPLACE "[ \n]+" " " err "${err}")
if(rc EQUAL 0 OR NOT err MATCHES "is the pikit simulated kit's, installed for building programs on a PC")
  message(FATAL_ERROR "a hardware build against the installed kit was not refused (status ${rc}):\n${out}\n${err}")
endif()
file(REMOVE_RECURSE ${WORK})
