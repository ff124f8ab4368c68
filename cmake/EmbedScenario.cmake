# Turns a scenario file into a C++ source defining the program's default scenario.
file(READ ${IN} text HEX)
string(LENGTH "${text}" len)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${text}")
file(WRITE ${OUT}
  "// Generated from ${NAME}; do not edit.\n"
  "extern \"C\" const char pikit_sim_default_scenario[] = {${bytes} 0};\n"
  "extern \"C\" const char pikit_sim_default_scenario_name[] = \"${NAME}\";\n")
