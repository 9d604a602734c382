# Plays the page-check script on one screen size and style and compares what
# the runner printed with the expected transcript, the known findings left
# out: every check must print "ok", on every size and in both styles.
#   cmake -DVELMORA=... -DDATA=... -DRESOURCES=... -DEXPECTED=... -DSCRIPT=... -DSCREEN=320x568 -DSTYLE=dark
#         -P run_page_check.cmake
# With VELMORA_UPDATE_TRANSCRIPTS=1 in the environment the transcript is
# written instead of compared.
cmake_minimum_required(VERSION 3.25)

foreach(required VELMORA DATA RESOURCES EXPECTED SCRIPT SCREEN STYLE)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "run_page_check.cmake needs -D${required}=...")
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/runner_environment.cmake)
velmora_runner_environment("${DATA}")

velmora_script_options("${SCRIPT}" "${RESOURCES}" options)
execute_process(
  COMMAND "${VELMORA}" app --data-dir "${DATA}" --script "${SCRIPT}" --screen "${SCREEN}" --style "${STYLE}" ${options}
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "velmora app ended with ${status}:\n${output}\n${errors}")
endif()
file(WRITE "${DATA}/output.txt" "${output}")

# The known findings differ with the size and the style, and so do the
# offsets a pan to a scroll view's far end arrives at; the rest of what was
# printed does not.
string(REGEX REPLACE "\nknown findings, kept as designed:\n(  [^\n]*\n)*" "\n" transcript "${output}")
string(REGEX REPLACE "\npanned to [0-9]+,[0-9]+ \\(the content ends there\\)" "\npanned to its far end" transcript
       "${transcript}")

velmora_compare_transcript("${transcript}" "${EXPECTED}" "${DATA}" "on ${SCREEN} in the ${STYLE} style the pages differ from ${EXPECTED}")
