# A long history: 150 calculations in one launch, then a relaunch that reads
# them back and calculates once more. Each launch must end normally and the
# history page must count every entry (the bundled example included).
#   cmake -DVELMORA=... -DDATA=... -P run_long_history.cmake
cmake_minimum_required(VERSION 3.25)

foreach(required VELMORA DATA)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "run_long_history.cmake needs -D${required}=...")
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/runner_environment.cmake)
velmora_runner_environment("${DATA}")

# One calculation on the input tab: k = COUNT mod 9, n = 9, p = 0.5.
function(calculation count out)
  math(EXPR k "${count} % 9")
  set(${out} "focus k\nkey del del del\nkey ${k}\nfocus n\nkey del del del\nkey 9\nfocus p\nkey del del del del\nkey 0.5\nkey calc\ntap Input\n" PARENT_SCOPE)
endfunction()

set(first "alert Accept\ntap Next\ntap Next\ntap Next\ntap Next\ntap Let's start\n")
foreach(count RANGE 1 150)
  calculation(${count} step)
  string(APPEND first "${step}")
  # The rating prompt comes with the fifth appearance of the calculator page.
  if(count EQUAL 4)
    string(APPEND first "tap Cancel\n")
  endif()
endforeach()
string(APPEND first "menu\ntap History\nscreen\nquit\n")
calculation(151 again)
set(second "${again}menu\ntap History\nscreen\nquit\n")

# Rows on screen plus those out of sight.
function(history_rows output out)
  string(REGEX MATCH "toolbar \"History\".*" page "${output}")
  string(REGEX MATCHALL "\n      0\\.[0-9]+ latex" shown "${page}")
  list(LENGTH shown rows)
  string(REGEX MATCH "\\(([0-9]+) rows out of sight\\)" hidden "${page}")
  if(hidden)
    math(EXPR rows "${rows} + ${CMAKE_MATCH_1}")
  endif()
  set(${out} ${rows} PARENT_SCOPE)
endfunction()

set(launch 0)
foreach(pair "first;151" "second;152")
  list(GET pair 0 name)
  list(GET pair 1 expected)
  math(EXPR launch "${launch} + 1")
  file(WRITE "${DATA}/${name}.script" "${${name}}")
  execute_process(COMMAND "${VELMORA}" app --data-dir "${DATA}" --script "${DATA}/${name}.script"
                  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "launch ${launch} ended with ${status}:\n${errors}")
  endif()
  history_rows("${output}" rows)
  if(NOT rows EQUAL expected)
    message(FATAL_ERROR "launch ${launch}: the history shows ${rows} entries, not ${expected}:\n${output}")
  endif()
endforeach()
