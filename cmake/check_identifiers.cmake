# Fails when a tracked file, binary ones included, holds an identifier of a
# form that is not this system's: an application identifier of the form
# "1:" then digits, the platform and a hexadecimal key, or an advertising
# application identifier of another product's form. What gzip members
# among a file's bytes inflate to is searched as well as the bytes stored
# (a .gz seed would pass a search of its stored bytes alone). Fixtures and
# seeds use the project's own identifiers, such as "velmora-bernoulli-ios".
#   cmake -DSOURCE_DIR=<repository root> -DSCANNER=<identifier_scan> -P check_identifiers.cmake
# The patterns are spelt so that this file does not hold a match itself.
set(patterns "1:[0-9]+:i[o]s:[0-9a-fA-F]+" "c[a]-app-pub-[0-9]")
execute_process(COMMAND git -C ${SOURCE_DIR} ls-files -z
                COMMAND ${SCANNER} ${SOURCE_DIR} ${patterns}
                RESULTS_VARIABLE statuses OUTPUT_VARIABLE offenders ERROR_VARIABLE error)
list(GET statuses 0 listing)
list(GET statuses 1 status)
if(NOT listing EQUAL 0)
  message(FATAL_ERROR "the tracked files cannot be listed: ${error}")
elseif(status EQUAL 0)
  message(STATUS "no tracked file holds a foreign identifier, stored or compressed")
elseif(status EQUAL 1)
  message(FATAL_ERROR "these tracked files hold an identifier that is not this system's; "
                      "use the project's own (velmora-bernoulli-ios, velmora-ads-bernoulli-1):\n${offenders}")
else()
  message(FATAL_ERROR "the tracked files cannot be searched: ${error}")
endif()
