# Builds the kit with -DPIKIT_BACKEND left to its own choice against a stand-in
# wiringPi, and checks what the configure step says and what it builds.
#   BCM2835   none: build as if bcm2835 were not installed (ir-board-demo is
#             left out and the configure step says so); real: against the
#             bcm2835 found on this machine; missing: report the test skipped.
#   EMULATOR  how to run a built program here, words separated by '|'
#             (empty natively; qemu-arm for the armhf build).
if(BCM2835 STREQUAL "missing")
  message("SKIPPED: no bcm2835 library (Debian libbcm2835-dev) for this build's architecture")
  return()
endif()
string(REPLACE "|" ";" emulator "${EMULATOR}")
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/wiringpi/include ${WORK}/wiringpi/lib)
foreach(h wiringPi.h softPwm.h softTone.h)
  file(COPY ${SRC}/sim/include/${h} DESTINATION ${WORK}/wiringpi/include)
endforeach()
# Like the real library it also defines shiftOut, which the shift-register
# programs define for themselves: the stand-in's own says so and fails the
# process if it is ever called. It counts the writes to each pin and, when
# STANDIN_DELAYS=<n> is set, ends the process at the n-th delay() with the
# counts on standard output, so that a program that never ends can be checked.
file(WRITE ${WORK}/wiringpi/stub.c "
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
static unsigned writes[64], highs[64], delays;
int wiringPiSetup(void) { return 0; }
void pinMode(int p, int m) { (void)p; (void)m; }
void pullUpDnControl(int p, int u) { (void)p; (void)u; }
void digitalWrite(int p, int v) { if (p >= 0 && p < 64) { ++writes[p]; if (v) ++highs[p]; } }
int digitalRead(int p) { (void)p; return 1; }  /* every line idles high */
void delay(unsigned int h) {
  const char* limit = getenv(\"STANDIN_DELAYS\");
  (void)h;
  if (limit && ++delays == (unsigned)atoi(limit)) {
    for (int p = 0; p < 64; ++p)
      if (writes[p]) printf(\"pin %d: %u writes, %u high\\n\", p, writes[p], highs[p]);
    exit(0);
  }
}
void shiftOut(uint8_t d, uint8_t c, uint8_t o, uint8_t v) {
  (void)d; (void)c; (void)o; (void)v;
  printf(\"the library's shiftOut was called\\n\");
  exit(97);
}
void delayMicroseconds(unsigned int h) { (void)h; }
int wiringPiISR(int p, int m, void (*f)(void)) { (void)p; (void)m; (void)f; return 0; }
int softPwmCreate(int p, int v, int r) { (void)p; (void)v; (void)r; return 0; }
void softPwmWrite(int p, int v) { (void)p; (void)v; }
void softPwmStop(int p) { (void)p; }
int softToneCreate(int p) { (void)p; return 0; }
void softToneWrite(int p, int f) { (void)p; (void)f; }
void softToneStop(int p) { (void)p; }
")
execute_process(COMMAND ${CC} -shared -fPIC ${WORK}/wiringpi/stub.c -o ${WORK}/wiringpi/lib/libwiringPi.so
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot build the stand-in wiringPi")
endif()

set(bcm2835_choice)
if(BCM2835 STREQUAL "none")
  set(bcm2835_choice -DBCM2835_INCLUDE_DIR=BCM2835_INCLUDE_DIR-NOTFOUND)
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SRC} -B ${WORK}/build -DCMAKE_PREFIX_PATH=${WORK}/wiringpi
          -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX} ${bcm2835_choice}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configure failed:\n${out}\n${err}")
endif()
if(NOT out MATCHES "wiringPi found .*picked 'hardware'")
  message(FATAL_ERROR "the configure step did not pick the hardware backend:\n${out}")
endif()
if(BCM2835 STREQUAL "none" AND NOT err MATCHES "bcm2835 not found: ir-board-demo is left out")
  message(FATAL_ERROR "a build without bcm2835 did not say it leaves ir-board-demo out:\n${err}")
endif()
if(BCM2835 STREQUAL "real" AND err MATCHES "bcm2835 not found")
  message(FATAL_ERROR "the real bcm2835 was not found by the hardware build:\n${err}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/build -j2
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "hardware build failed:\n${out}\n${err}")
endif()
if(out MATCHES "warning:" OR err MATCHES "warning:")
  message(FATAL_ERROR "hardware build has warnings:\n${out}\n${err}")
endif()

if(BCM2835 STREQUAL "real" AND EXISTS ${SRC}/ir/CMakeLists.txt AND NOT EXISTS ${WORK}/build/bin/ir-board-demo)
  message(FATAL_ERROR "ir-board-demo was not built against the real bcm2835:\n${out}\n${err}")
endif()

# The programs link the real library, not the simulated kit: with every line
# idling high, the EEPROM demo finds no presence pulse, says so and fails.
execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${WORK}/wiringpi/lib
                        ${emulator} ${WORK}/build/bin/eeprom-search-demo
                OUTPUT_VARIABLE out RESULT_VARIABLE rc TIMEOUT 20)
if(NOT rc EQUAL 1 OR NOT out STREQUAL "No GX2431 found on the 1-Wire bus. \n")
  message(FATAL_ERROR "eeprom-search-demo on the stand-in library: status ${rc}, output '${out}'")
endif()
# The shift-register programs call their own shiftOut, not the library's:
# one cycle of sixteen updates is 128 data bits (64 of them 1: the patterns
# 0x01 ... 0xFF ... 0x00 hold 36 + 28 set bits), 256 clock writes (half of
# them HIGH) and 32 latch writes (half HIGH).
foreach(program shift-led-demo led-chaser-demo)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${WORK}/wiringpi/lib STANDIN_DELAYS=16
                          ${emulator} ${WORK}/build/bin/${program}
                  OUTPUT_VARIABLE out RESULT_VARIABLE rc TIMEOUT 20)
  set(expected "pin 0: 128 writes, 64 high\npin 2: 256 writes, 128 high\npin 3: 32 writes, 16 high\n")
  if(NOT rc EQUAL 0 OR NOT out STREQUAL expected)
    message(FATAL_ERROR "${program} on the stand-in library: status ${rc}, output '${out}'")
  endif()
endforeach()
# The Pi's package of the programs: named so that it is never taken for the
# simulated kit, with the programs in it, depending on the real wiringPi.
execute_process(COMMAND ${CMAKE_COMMAND} -E chdir ${WORK}/build cpack -G DEB
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
file(GLOB deb ${WORK}/build/pikit-demos_*.deb)
if(NOT rc EQUAL 0 OR NOT deb)
  message(FATAL_ERROR "cpack made no pikit-demos package (status ${rc}):\n${out}\n${err}")
endif()
find_program(DPKG_DEB dpkg-deb)
if(DPKG_DEB)
  execute_process(COMMAND ${DPKG_DEB} -f ${deb} Package Depends OUTPUT_VARIABLE fields)
  execute_process(COMMAND ${DPKG_DEB} -c ${deb} OUTPUT_VARIABLE contents)
  if(NOT fields MATCHES "Package: pikit-demos\nDepends: wiringpi" OR NOT contents MATCHES "/usr/bin/eeprom-search-demo"
     OR contents MATCHES "include/wiringPi.h")
    message(FATAL_ERROR "the pikit-demos package:\n${fields}\n${contents}")
  endif()
endif()
file(REMOVE_RECURSE ${WORK})
