# Runs a test executable with its cases in an order drawn at random, the
# seed printed, so that a case that leans on another's leftovers fails
# somewhere and the failure can be replayed.
#   cmake -DTEST=<test executable> -P run_in_random_order.cmake
string(RANDOM LENGTH 8 ALPHABET 0123456789 digits)
set(seed "1${digits}")
message("order seed ${seed}: ${TEST} --order-by=rand --rand-seed=${seed}")
execute_process(COMMAND ${TEST} --order-by=rand --rand-seed=${seed} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the cases failed in the order of seed ${seed}; replay it with\n"
                      "  ${TEST} --order-by=rand --rand-seed=${seed}")
endif()
