# pikit_add_program(<name> SOURCES <files...> [LIBRARIES <targets...>] [NEEDS_BCM2835]
#                   [SCENARIO <file.yaml> | NO_SCENARIO])
#
# One deliverable: an executable in <build>/bin, installed to bin/. For the
# simulated kit it also gets its default scenario, built into the executable
# and used when PIKIT_SIM_SCENARIO is not set: SCENARIO names it (relative to
# the folder), else it is sim/scenarios/<name>.yaml, which every program of
# the kit has. NO_SCENARIO: none, the program starts on an empty board unless
# PIKIT_SIM_SCENARIO names one.
function(pikit_add_program name)
  cmake_parse_arguments(P "NEEDS_BCM2835;NO_SCENARIO" "SCENARIO" "SOURCES;LIBRARIES" ${ARGN})
  if(P_NEEDS_BCM2835 AND NOT PIKIT_HAVE_BCM2835)
    message(STATUS "pikit: ${name} not built (no bcm2835)")
    return()
  endif()
  add_executable(${name} ${P_SOURCES})
  target_link_libraries(${name} PRIVATE ${P_LIBRARIES})
  if(PIKIT_BACKEND STREQUAL "sim")
    target_link_libraries(${name} PRIVATE pikit_sim)
    if(P_NO_SCENARIO)
      install(TARGETS ${name} RUNTIME DESTINATION bin COMPONENT programs)
      return()
    endif()
    if(P_SCENARIO)
      get_filename_component(scenario ${P_SCENARIO} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
      file(RELATIVE_PATH scenario_name ${CMAKE_SOURCE_DIR} ${scenario})
    else()
      set(scenario ${CMAKE_SOURCE_DIR}/sim/scenarios/${name}.yaml)
      set(scenario_name sim/scenarios/${name}.yaml)
    endif()
    if(NOT EXISTS ${scenario})
      message(FATAL_ERROR "pikit: ${name} has no default scenario ${scenario} "
                          "(name one with SCENARIO <file>, or say NO_SCENARIO)")
    endif()
    set(embedded ${CMAKE_CURRENT_BINARY_DIR}/${name}_scenario.cpp)
    add_custom_command(
      OUTPUT ${embedded}
      COMMAND ${CMAKE_COMMAND} -DIN=${scenario} -DOUT=${embedded} -DNAME=${scenario_name}
              -P ${CMAKE_SOURCE_DIR}/cmake/EmbedScenario.cmake
      DEPENDS ${scenario} ${CMAKE_SOURCE_DIR}/cmake/EmbedScenario.cmake
      COMMENT "Embedding default scenario of ${name}")
    target_sources(${name} PRIVATE ${embedded})
  else()
    target_link_libraries(${name} PRIVATE pikit_platform)
    if(P_NEEDS_BCM2835)
      target_link_libraries(${name} PRIVATE pikit_bcm2835)
    endif()
  endif()
  install(TARGETS ${name} RUNTIME DESTINATION bin COMPONENT programs)
endfunction()

# pikit_add_library(<name> SOURCES <files...>): program code shared by several
# deliverables and by the tests, built against the selected backend.
function(pikit_add_library name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_library(${name} STATIC ${P_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${P_LIBRARIES})
  if(PIKIT_BACKEND STREQUAL "sim")
    target_link_libraries(${name} PUBLIC pikit_sim_headers)
  else()
    target_link_libraries(${name} PUBLIC pikit_platform)
  endif()
endfunction()
