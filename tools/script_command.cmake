# The script runtime behind `velmora script eval`, and the event-editing
# host behind `velmora script run`, through the control interface.
target_link_libraries(velmora PRIVATE measurement_control)
