# Plays the walkthrough README.md gives for a first launch at the prompt as a
# person pastes it (the lines of each fenced block of that section that is no
# shell session), on a fresh data folder, and compares what the runner printed
# with the expected transcript.
#   cmake -DVELMORA=... -DDATA=... -DRESOURCES=... -DREADME=... -DEXPECTED=... -P run_readme_walkthrough.cmake
cmake_minimum_required(VERSION 3.25)

foreach(required README DATA)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "run_readme_walkthrough.cmake needs -D${required}=...")
  endif()
endforeach()

set(heading "## A first launch at the prompt\n")
set(fence "```\n")
file(READ "${README}" text)
string(FIND "${text}" "${heading}" start)
if(start EQUAL -1)
  message(FATAL_ERROR "${README} has no section \"${heading}\"")
endif()
string(SUBSTRING "${text}" ${start} -1 section)
string(LENGTH "${heading}" skip)
string(SUBSTRING "${section}" ${skip} -1 section)
string(FIND "${section}" "\n## " end)
if(NOT end EQUAL -1)
  string(SUBSTRING "${section}" 0 ${end} section)
endif()

set(walkthrough "")
string(LENGTH "${fence}" fenceLength)
while(TRUE)
  string(FIND "${section}" "${fence}" open)
  if(open EQUAL -1)
    break()
  endif()
  math(EXPR inside "${open} + ${fenceLength}")
  string(SUBSTRING "${section}" ${inside} -1 section)
  string(FIND "${section}" "${fence}" close)
  if(close EQUAL -1)
    message(FATAL_ERROR "a fenced block of \"${heading}\" is not closed")
  endif()
  string(SUBSTRING "${section}" 0 ${close} block)
  math(EXPR after "${close} + ${fenceLength}")
  string(SUBSTRING "${section}" ${after} -1 section)
  if(NOT block MATCHES "^\\$ ")
    string(APPEND walkthrough "${block}")
  endif()
endwhile()
if(walkthrough STREQUAL "")
  message(FATAL_ERROR "\"${heading}\" in ${README} holds no walkthrough to paste")
endif()

# A person's pictures go to the system's temporary folder, as README names
# it; the test's go to a folder of its own beside its data folder, so that
# it leaves nothing in a folder every user shares nor meets another user's
# file there, and the transcript shows them as README names them.
set(pictures "${DATA}-pictures")
file(REMOVE_RECURSE "${pictures}")
file(MAKE_DIRECTORY "${pictures}")
string(REPLACE "snapshot /tmp/" "snapshot ${pictures}/" walkthrough "${walkthrough}")
set(SHOWN_PATH "/tmp/")
set(PLAYED_PATH "${pictures}/")

set(script "${DATA}.script")
file(WRITE "${script}" "${walkthrough}")
set(SCRIPTS "${script}")
include(${CMAKE_CURRENT_LIST_DIR}/run_transcript.cmake)
