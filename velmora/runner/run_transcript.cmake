# Plays runner scripts, in order, on one fresh data folder and compares
# what the runner printed with the expected transcript.
#   cmake -DVELMORA=... -DDATA=... -DRESOURCES=... -DEXPECTED=... -DSCRIPTS=a;b -P run_transcript.cmake
# A script's first line may give the launch's options: "# options: --lang de",
# with @RESOURCES@ standing for the application bundle's folder. With
# VELMORA_UPDATE_TRANSCRIPTS=1 in the environment the transcript is written
# instead of compared.
cmake_minimum_required(VERSION 3.25)

foreach(required VELMORA DATA RESOURCES EXPECTED SCRIPTS)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "run_transcript.cmake needs -D${required}=...")
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/runner_environment.cmake)
velmora_runner_environment("${DATA}")

set(transcript "")
set(launch 0)
foreach(script IN LISTS SCRIPTS)
  math(EXPR launch "${launch} + 1")
  velmora_script_options("${script}" "${RESOURCES}" options)
  execute_process(
    COMMAND "${VELMORA}" app --data-dir "${DATA}" --script "${script}" ${options}
    OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "launch ${launch} (${script}) ended with ${status}:\n${output}\n${errors}")
  endif()
  get_filename_component(scriptName "${script}" NAME)
  string(APPEND transcript "=== launch ${launch}: ${scriptName}\n${output}")
endforeach()

# Screen instance IDs start at a random number in every process: each
# distinct ID becomes "#1", "#2"... in the order it first appears, which
# keeps what the transcript shows (which screen followed which).
string(REGEX MATCHALL "_[sp]i=-?[0-9]+" screenIDs "${transcript}")
set(seen "")
foreach(match IN LISTS screenIDs)
  string(REGEX REPLACE "^_[sp]i=" "" id "${match}")
  if(NOT id IN_LIST seen)
    list(APPEND seen "${id}")
  endif()
endforeach()
set(index 0)
foreach(id IN LISTS seen)
  math(EXPR index "${index} + 1")
  string(REGEX REPLACE "(_[sp]i=)${id}([^0-9]|$)" "\\1#${index}\\2" transcript "${transcript}")
endforeach()

# A path the caller played in place of the one its script was written with
# (PLAYED_PATH for SHOWN_PATH) is shown as written.
if(DEFINED PLAYED_PATH)
  string(REPLACE "${PLAYED_PATH}" "${SHOWN_PATH}" transcript "${transcript}")
endif()

velmora_compare_transcript("${transcript}" "${EXPECTED}" "${DATA}" "the transcript differs from ${EXPECTED}")
