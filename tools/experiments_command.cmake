# The experiments client behind `velmora experiments`, through the control
# interface.
target_link_libraries(velmora PRIVATE measurement_control)
