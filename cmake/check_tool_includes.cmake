# Fails when a source of the shipped tool includes a header of the
# measurement engine other than its public interfaces: the public interface
# (core/arurerudo.h), the control interface (control/), and the wire protocol
# the collector decodes (proto/, and foundation's messages, their field
# tags and the helpers the service side shares with the engine, its escaping of
# text for the terminal among them).
#   cmake -DSOURCE_DIR=<repository root> -DSOURCE_LIST=<file of sources> -P check_tool_includes.cmake
set(allowed
  "measurement/core/arurerudo\\.h"
  "measurement/control/[a-z_]+\\.h"
  "measurement/proto/[a-z_]+\\.pb\\.h"
  "measurement/foundation/(messages|nano_message|bundle_tags|hashing|string_util|printable_text)\\.h")
list(JOIN allowed "|" allowedPattern)
file(STRINGS ${SOURCE_LIST} sources)
set(offenders "")
foreach(source IN LISTS sources)
  file(STRINGS ${source} includes REGEX "^#include \"measurement/")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
    if(NOT header MATCHES "^(${allowedPattern})$")
      file(RELATIVE_PATH relative ${SOURCE_DIR} ${source})
      list(APPEND offenders "${relative}: ${header}")
    endif()
  endforeach()
endforeach()
if(offenders)
  list(JOIN offenders "\n  " listed)
  message(FATAL_ERROR "the tool includes headers of the engine's inside; use the control interface "
                      "(measurement/control) instead:\n  ${listed}")
endif()
list(LENGTH sources count)
message(STATUS "${count} sources of the tool include only the engine's public interfaces")
