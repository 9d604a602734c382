# Fails when a tracked file, binary ones included, holds an application
# identifier of a form that is not this system's ("1:" then digits, the
# platform, a hexadecimal key): fixtures and seeds use the project's own
# identifier, such as "velmora-bernoulli-ios".
#   cmake -DSOURCE_DIR=<repository root> -P check_identifiers.cmake
# The pattern is spelt so that this file does not hold a match itself.
set(pattern "1:[0-9]+:i[o]s:[0-9a-fA-F]+")
execute_process(COMMAND git -C ${SOURCE_DIR} grep --text --files-with-matches --extended-regexp "${pattern}"
                RESULT_VARIABLE status OUTPUT_VARIABLE offenders ERROR_VARIABLE error)
# git grep answers 1 when nothing matches, 0 with the files that do.
if(status EQUAL 1)
  message(STATUS "no tracked file holds a foreign application identifier")
elseif(status EQUAL 0)
  message(FATAL_ERROR "these tracked files hold an application identifier that is not this system's; "
                      "use the project's own (velmora-bernoulli-ios):\n${offenders}")
else()
  message(FATAL_ERROR "the tracked files cannot be searched: ${error}")
endif()
