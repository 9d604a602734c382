# The local collector behind `velmora collector`.
add_subdirectory(collector)
target_link_libraries(velmora PRIVATE velmora_collector)
