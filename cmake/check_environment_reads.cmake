# Fails when a source file other than a program's entry point reads the
# environment, or sets one of the project's variables: programs read it
# once in main, into launch options that the libraries are handed
# (platform/foundation/launch_options.h), and tests change those options.
#   cmake -DSOURCE_DIR=<repository root> -P check_environment_reads.cmake
set(folders platform measurement velmora tools testsupport bench)
set(offenders "")
foreach(folder IN LISTS folders)
  file(GLOB_RECURSE sources ${SOURCE_DIR}/${folder}/*.cpp ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cc)
  foreach(source IN LISTS sources)
    file(READ ${source} text)
    # Reading it, or (tests) steering the project's settings through it
    # rather than through launch options.
    string(REGEX MATCH "getenv|[^A-Za-z_]environ[^A-Za-z_]|(set|unset|put)env\\(\"VELMORA_" reads "${text}")
    if(NOT reads)
      continue()
    endif()
    string(REGEX MATCH "\nint main\\(" entry "${text}")
    if(NOT entry)
      file(RELATIVE_PATH relative ${SOURCE_DIR} ${source})
      list(APPEND offenders ${relative})
    endif()
  endforeach()
endforeach()
if(offenders)
  list(JOIN offenders "\n  " listed)
  message(FATAL_ERROR "these files read the environment outside a program's main; "
                      "read it there into platform::LaunchOptions instead:\n  ${listed}")
endif()
message(STATUS "the environment is read in programs' mains only")
