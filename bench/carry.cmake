# bench_carry: a damaged file of 30,000 stored events carried into a new
# one, a leaf page at a time, against raw SQLite copying the intact rows.
velmora_program(bench_carry
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_carry.cpp
  DEPS measurement_upload PkgConfig::SQLITE3)
