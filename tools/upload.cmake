# The measurement engine's batch upload, its timer and the configuration
# fetch, in every command that runs the application.
target_link_libraries(velmora PRIVATE measurement_upload)
