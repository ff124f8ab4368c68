# pikit_add_program(<name> SOURCES <files...> [LIBRARIES <targets...>] [NEEDS_BCM2835])
#
# One deliverable: an executable in <build>/bin, installed to bin/. For the
# simulated kit it also gets its default scenario, sim/scenarios/<name>.yaml,
# built into the executable and used when PIKIT_SIM_SCENARIO is not set.
function(pikit_add_program name)
  cmake_parse_arguments(P "NEEDS_BCM2835" "" "SOURCES;LIBRARIES" ${ARGN})
  if(P_NEEDS_BCM2835 AND NOT PIKIT_HAVE_BCM2835)
    message(STATUS "pikit: ${name} not built (no bcm2835)")
    return()
  endif()
  add_executable(${name} ${P_SOURCES})
  target_link_libraries(${name} PRIVATE ${P_LIBRARIES})
  if(PIKIT_BACKEND STREQUAL "sim")
    target_link_libraries(${name} PRIVATE pikit_sim)
    set(scenario ${CMAKE_SOURCE_DIR}/sim/scenarios/${name}.yaml)
    if(NOT EXISTS ${scenario})
      message(FATAL_ERROR "pikit: ${name} has no default scenario ${scenario}")
    endif()
    set(embedded ${CMAKE_CURRENT_BINARY_DIR}/${name}_scenario.cpp)
    add_custom_command(
      OUTPUT ${embedded}
      COMMAND ${CMAKE_COMMAND} -DIN=${scenario} -DOUT=${embedded} -DNAME=sim/scenarios/${name}.yaml
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
  install(TARGETS ${name} RUNTIME DESTINATION bin)
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
