# Turns the live view's page files into a C++ source that serves them:
#   cmake -DOUT=<file.cpp> -DDIR=<page dir> -DFILES="index.html;view.css;view.js" -P EmbedPage.cmake
# index.html is served as "/", every other file under its own name.
set(body "")
set(table "")
set(n 0)
foreach(f ${FILES})
  file(READ ${DIR}/${f} text HEX)
  string(LENGTH "${text}" hexlen)
  math(EXPR len "${hexlen} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${text}")
  string(APPEND body "const unsigned char file${n}[] = {${bytes} 0};\n")
  if(f STREQUAL "index.html")
    set(path "/")
  else()
    set(path "/${f}")
  endif()
  if(f MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(f MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(f MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(f MATCHES "\\.svg$")
    set(type "image/svg+xml")
  else()
    set(type "application/octet-stream")
  endif()
  string(APPEND table "        {\"${path}\", \"${type}\", reinterpret_cast<const char*>(file${n}), ${len}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE ${OUT}.tmp
  "// Generated from sim/view/page/ by cmake/EmbedPage.cmake; do not edit.\n"
  "#include \"view/page.h\"\n\n"
  "namespace pikit::sim::view {\nnamespace {\n${body}}  // namespace\n\n"
  "const std::vector<Asset>& page_assets() {\n"
  "    static const std::vector<Asset> assets{\n${table}    };\n"
  "    return assets;\n}\n\n}  // namespace pikit::sim::view\n")
# Only a changed source is rewritten, so that an unchanged page rebuilds nothing.
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUT}.tmp ${OUT})
file(REMOVE ${OUT}.tmp)
