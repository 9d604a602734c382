# The script runtime behind `velmora script eval`, and the event-editing
# host behind `velmora script run`.
target_link_libraries(velmora PRIVATE measurement_script_text measurement_script_editing measurement_core)
