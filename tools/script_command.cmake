# The script runtime behind `velmora script eval`.
target_link_libraries(velmora PRIVATE measurement_script_testing)
