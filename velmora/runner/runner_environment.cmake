# What every runner test's launches share, included by the run_*.cmake
# scripts: nothing leaves the machine (no service address, no connection
# probe, so the connection test asks nothing), texts and numbers are in English,
# and the data folder starts empty; and how they compare what was printed
# with what is expected.
#   velmora_runner_environment(DATA)
#   velmora_script_options(SCRIPT RESOURCES OUT)
#   velmora_compare_transcript(TRANSCRIPT EXPECTED DATA WHAT)
macro(velmora_runner_environment data)
  unset(ENV{VELMORA_MEASUREMENT_SERVICE_URL})
  unset(ENV{VELMORA_REMOTE_CONFIG_SOURCE})
  unset(ENV{VELMORA_RESOURCES})
  unset(ENV{VELMORA_DATA})
  unset(ENV{VELMORA_CONNECTION_PROBE_URL})
  set(ENV{LC_ALL} "en_US")
  file(REMOVE_RECURSE "${data}")
  file(MAKE_DIRECTORY "${data}")
endmacro()

# Compares the transcript with the EXPECTED file, or writes the file when
# VELMORA_UPDATE_TRANSCRIPTS=1; a difference stops the script with a diff
# (the transcript kept as DATA/actual.transcript), introduced by WHAT.
function(velmora_compare_transcript transcript expected data what)
  if("$ENV{VELMORA_UPDATE_TRANSCRIPTS}" STREQUAL "1")
    file(WRITE "${expected}" "${transcript}")
    message(STATUS "wrote ${expected}")
    return()
  endif()
  file(READ "${expected}" wanted)
  if(NOT transcript STREQUAL wanted)
    file(WRITE "${data}/actual.transcript" "${transcript}")
    execute_process(COMMAND diff -u "${expected}" "${data}/actual.transcript" OUTPUT_VARIABLE difference)
    message(FATAL_ERROR "${what}:\n${difference}")
  endif()
endfunction()

# The launch options a script's first line gives ("# options: --lang de",
# @RESOURCES@ standing for the application bundle's folder), as a list in OUT.
function(velmora_script_options script resources out)
  file(STRINGS "${script}" first LIMIT_COUNT 1)
  set(options "")
  if(first MATCHES "^# options: (.*)$")
    string(REPLACE "@RESOURCES@" "${resources}" line "${CMAKE_MATCH_1}")
    separate_arguments(options UNIX_COMMAND "${line}")
  endif()
  set(${out} "${options}" PARENT_SCOPE)
endfunction()
