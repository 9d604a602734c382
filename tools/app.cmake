# The headless runner behind `velmora app`.
target_link_libraries(velmora PRIVATE velmora_runner)
