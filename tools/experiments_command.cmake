# The experiments client behind `velmora experiments`.
target_link_libraries(velmora PRIVATE measurement_experiments)
