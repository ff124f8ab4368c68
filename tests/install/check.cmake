# Installs the kit from BUILD into WORK/prefix, builds the three examples
# against it as a user would and runs each under its scenario.
if(NOT RUNNABLE)
  message("SKIPPED: this build's programs are cross-compiled or sanitized; the examples are built natively")
  return()
endif()
file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)

function(run what)
  cmake_parse_arguments(R "" "DIR;OUT;ERR;RESULT" "COMMAND;ENV" ${ARGN})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${R_ENV} ${R_COMMAND} WORKING_DIRECTORY ${R_DIR}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 30)
  if(R_RESULT)
    set(${R_RESULT} "${rc}" PARENT_SCOPE)
  elseif(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  if(R_OUT)
    set(${R_OUT} "${out}" PARENT_SCOPE)
  endif()
  if(R_ERR)
    set(${R_ERR} "${err}" PARENT_SCOPE)
  endif()
endfunction()

# Only the kit: libraries, headers, CMake and pkg-config files, documents.
run("installing the kit" DIR ${BUILD} COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix} --component kit)
file(GLOB libdir LIST_DIRECTORIES true ${prefix}/lib ${prefix}/lib/*-linux-*)
list(GET libdir -1 libdir)
foreach(f include/wiringPi.h include/bcm2835.h include/wiringPiI2C.h)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "the installed kit has no ${f}")
  endif()
endforeach()
# Of programs, only the kit's command.
file(GLOB programs RELATIVE ${prefix}/bin ${prefix}/bin/*)
if(NOT programs STREQUAL "pikit")
  message(FATAL_ERROR "the kit's component installed other programs than pikit: ${programs}")
endif()
# Nothing of the source tree may be needed: build from copies elsewhere.
file(COPY ${SRC}/examples/ DESTINATION ${WORK}/examples)
set(sim_env PIKIT_SIM_SPEED=max)

# 1. Plain gcc, as in a tutorial.
set(d ${WORK}/examples/blink)
run("gcc blink.c" DIR ${d} COMMAND ${CC} blink.c -o blink -I${prefix}/include -L${libdir} -lwiringPi)
run("blink" DIR ${d} RESULT rc ERR err
    ENV LD_LIBRARY_PATH=${libdir} ${sim_env} PIKIT_SIM_SCENARIO=blink.yaml PIKIT_SIM_LOG=- PIKIT_SIM_UNTIL=2200ms
    COMMAND ./blink)
string(REGEX MATCHALL "led 'led': on: on" lit "${err}")
string(REGEX MATCHALL "led 'led': on: off" dark "${err}")
list(LENGTH lit n_lit)
list(LENGTH dark n_dark)
# Lit at 0, 1 and 2 s; dark from the start, at 0.5 and 1.5 s.
if(NOT n_lit EQUAL 3 OR NOT n_dark EQUAL 3 OR rc EQUAL 0)
  message(FATAL_ERROR "blink under its scenario: status ${rc}, ${n_lit} times lit, ${n_dark} dark:\n${err}")
endif()
# The installed pikit tests it against the expectations of its scenario.
run("pikit test blink.yaml" DIR ${d} RESULT rc OUT out ERR err
    ENV LD_LIBRARY_PATH=${libdir} COMMAND ${prefix}/bin/pikit test --junit report.xml blink.yaml -- ./blink)
if(NOT rc EQUAL 0 OR NOT out MATCHES "blink \\(blink.yaml\\): passed, 4 expectations" OR NOT EXISTS ${d}/report.xml)
  message(FATAL_ERROR "pikit test of blink: status ${rc}:\n${out}${err}")
endif()
# Without a scenario: an empty board, and one line that says how to wire one.
run("blink on an empty board" DIR ${d} RESULT rc ERR err
    ENV LD_LIBRARY_PATH=${libdir} ${sim_env} PIKIT_SIM_UNTIL=2s COMMAND ./blink)
string(REGEX MATCHALL "nothing is wired" hints "${err}")
list(LENGTH hints n_hints)
if(NOT n_hints EQUAL 1 OR NOT err MATCHES "PIKIT_SIM_SCENARIO=")
  message(FATAL_ERROR "blink with no scenario should say once how to wire something:\n${err}")
endif()

# 2. Its own CMake project, with find_package(pikit).
set(d ${WORK}/examples/button)
run("configuring button" DIR ${d} COMMAND ${CMAKE_COMMAND} -S . -B build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${CC})
run("building button" DIR ${d} COMMAND ${CMAKE_COMMAND} --build build)
run("button" DIR ${d} RESULT rc OUT out
    ENV ${sim_env} PIKIT_SIM_SCENARIO=button.yaml PIKIT_SIM_UNTIL=5s COMMAND build/button)
if(NOT out STREQUAL "1000 ms: LED on\n2500 ms: LED off\n4000 ms: LED on\n")
  message(FATAL_ERROR "button under its scenario (status ${rc}) printed:\n${out}")
endif()

# 3. A Makefile with pkg-config.
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "pkg-config is missing (Debian: pkg-config)")
endif()
set(d ${WORK}/examples/sensor)
run("make sensor" DIR ${d} ENV PKG_CONFIG_PATH=${libdir}/pkgconfig CC=${CC} COMMAND make sensor)
run("sensor" DIR ${d} RESULT rc OUT out
    ENV LD_LIBRARY_PATH=${libdir} ${sim_env} PIKIT_SIM_SCENARIO=sensor.yaml PIKIT_SIM_UNTIL=2500ms COMMAND ./sensor)
if(NOT out STREQUAL "humidity 55.0 %, temperature 23.5 C\nhumidity 55.0 %, temperature 23.5 C\nhumidity 55.0 %, temperature 23.5 C\n")
  message(FATAL_ERROR "sensor under its scenario (status ${rc}) printed:\n${out}")
endif()
file(REMOVE_RECURSE ${WORK})
