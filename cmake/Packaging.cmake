# Debian packages, made by `cpack -G DEB` in a build tree:
#  - a build for the simulated kit makes pikit-sim-dev: the kit for PCs
#    (libraries under the real names, headers, CMake and pkg-config files,
#    documents and examples), component "kit";
#  - a build for the Pi (hardware backend) makes pikit-demos: the fourteen
#    programs for the real hardware, component "programs".
# The kit is not wiringPi and must never pass for it: it provides and
# replaces nothing, conflicts with the real libraries' packages (whose files
# it would shadow) and refuses to install on a Raspberry Pi.
include(GNUInstallDirs)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VENDOR "pikit")
set(CPACK_PACKAGE_CONTACT "pikit maintainers <pikit@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_STRIP_FILES ON)
# A cross build for the Pi's 32-bit ARM makes an armhf package (a native
# build's architecture is dpkg's own).
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm" AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()

if(PIKIT_BACKEND STREQUAL "sim")
  set(CPACK_COMPONENTS_ALL kit)
  set(CPACK_DEBIAN_KIT_PACKAGE_NAME pikit-sim-dev)
  string(CONCAT CPACK_COMPONENT_KIT_DESCRIPTION
    "wiringPi and bcm2835 for PCs, on a simulated Raspberry Pi\n"
    "The pikit simulated kit: libraries and headers under the names of wiringPi\n"
    "and bcm2835, so that a program written for a Raspberry Pi builds unchanged\n"
    "on a PC (gcc blink.c -lwiringPi) and runs on a simulated Pi 3 Model B with\n"
    "the modules a scenario file wires to it, in virtual time, with a log and a\n"
    "VCD trace of every pin. Not the real libraries: it reaches no hardware.")
  # The runtime libraries the kit was built against, by the names of this
  # distribution's packages (yaml-cpp's carries its version in its name).
  find_package(yaml-cpp QUIET)
  string(REGEX MATCH "^[0-9]+\\.[0-9]+" yaml_version "${yaml-cpp_VERSION}")
  set(CPACK_DEBIAN_KIT_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libyaml-cpp${yaml_version}, libsndfile1")
  if(PIKIT_VIEW AND HTTPLIB_LIBRARY)
    # The live view's HTTP library, likewise: libcpp-httplib.so.0.11 is
    # libcpp-httplib0.11.
    get_filename_component(httplib_file ${HTTPLIB_LIBRARY} REALPATH)
    string(REGEX MATCH "[.]so[.]([0-9]+[.][0-9]+)" httplib_so "${httplib_file}")
    string(APPEND CPACK_DEBIAN_KIT_PACKAGE_DEPENDS ", libcpp-httplib${CMAKE_MATCH_1}")
  endif()
  set(CPACK_DEBIAN_KIT_PACKAGE_RECOMMENDS "gcc | c-compiler, pkg-config")
  set(CPACK_DEBIAN_KIT_PACKAGE_CONFLICTS "wiringpi, libwiringpi-dev, libbcm2835-dev")
  set(CPACK_DEBIAN_KIT_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/cmake/debian/preinst ${PROJECT_SOURCE_DIR}/cmake/debian/postinst
    ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
  set(CPACK_DEBIAN_KIT_PACKAGE_CONTROL_STRICT_PERMISSION ON)
else()
  set(CPACK_COMPONENTS_ALL programs)
  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME pikit-demos)
  string(CONCAT CPACK_COMPONENT_PROGRAMS_DESCRIPTION
    "pikit demo programs for the Raspberry Pi's add-on modules\n"
    "Fourteen command-line programs, each driving one module on the 40-pin\n"
    "header (AHT20, 1-Wire EEPROM, keypad display, infrared, shift-register\n"
    "LEDs, RGB LED, fan, button, buzzer) through wiringPi and bcm2835.")
  # bcm2835 is a static library: nothing of it is needed at run time.
  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "wiringpi (>= 3.0), libc6, libstdc++6, libgcc-s1")
  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION electronics)
endif()
include(CPack)
