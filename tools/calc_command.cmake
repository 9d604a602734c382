# The calculation engine behind `velmora calc`.
target_link_libraries(velmora PRIVATE velmora_engine)
