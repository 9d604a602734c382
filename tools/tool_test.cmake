# The `velmora` command as its users run it: separate processes on a data
# folder, against loopback services.
velmora_test(velmora_tool_test LABEL tools
  SOURCES velmora_tool_test.cpp
  DEPS measurement_store velmora_loopback PkgConfig::SQLITE3)
add_dependencies(velmora_tool_test velmora)
target_compile_definitions(velmora_tool_test PRIVATE VELMORA_TOOL_PATH="$<TARGET_FILE:velmora>")
