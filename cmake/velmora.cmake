# Shared compile settings and the helpers every folder uses.

add_library(velmora_warnings INTERFACE)
target_compile_options(velmora_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(VELMORA_WERROR)
  target_compile_options(velmora_warnings INTERFACE -Werror)
endif()

if(VELMORA_FUZZ)
  # Every library is built with the fuzzer's coverage instrumentation, so
  # that a fuzz target sees the code it drives, under AddressSanitizer and
  # UndefinedBehaviorSanitizer; only the fuzz targets link the fuzzer.
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VELMORA_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_custom_target(velmora_fuzz_targets)
elseif(VELMORA_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VELMORA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VELMORA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VELMORA_SANITIZE must be empty, 'address' or 'thread'")
endif()

# velmora_library(NAME SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
# One folder, one library; its headers are included by their path from the
# repository root ("measurement/foundation/alarm.h").
function(velmora_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE velmora_warnings ${ARG_PRIVATE_DEPS})
endfunction()

# velmora_test(NAME LABEL label SOURCES ... [DEPS ...])
# One test executable per library, run through CTest and labelled with its
# folder: once in the order the cases are written, once in a random order.
function(velmora_test name)
  cmake_parse_arguments(ARG "" "LABEL" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE velmora_testsupport ${ARG_DEPS} velmora_warnings)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABEL}" TIMEOUT 600)
  velmora_sanitizer_environment(${name})
  # The same cases again in an order drawn anew at every run: no case may
  # lean on what another left behind.
  add_test(NAME ${name}_in_random_order
    COMMAND ${CMAKE_COMMAND} -DTEST=$<TARGET_FILE:${name}> -P ${PROJECT_SOURCE_DIR}/cmake/run_in_random_order.cmake)
  set_tests_properties(${name}_in_random_order PROPERTIES LABELS "${ARG_LABEL};random-order" TIMEOUT 600)
  velmora_sanitizer_environment(${name}_in_random_order)
endfunction()

# velmora_sanitizer_environment(TEST): under a sanitizer, the test runs with
# the suppressions of the libraries we do not build (the font stack's
# caches that live as long as the process); tests that run our programs
# need them as much as the test executables do.
function(velmora_sanitizer_environment name)
  if(VELMORA_SANITIZE STREQUAL "address")
    set_property(TEST ${name} APPEND PROPERTY
      ENVIRONMENT "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan_suppressions.txt:print_suppressions=0")
  elseif(VELMORA_SANITIZE STREQUAL "thread")
    set_property(TEST ${name} APPEND PROPERTY
      ENVIRONMENT "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/tsan_suppressions.txt")
  endif()
endfunction()

# velmora_program(NAME SOURCES ... [DEPS ...]): a program of tools/ or bench/.
function(velmora_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} velmora_warnings)
endfunction()

# velmora_fuzz_target(NAME SOURCE file SEEDS folder TEST test DEPS ...)
# A fuzz target (a file defining LLVMFuzzerTestOneInput). Its seeds, and
# every input that once made it fail, run as a regression case in the
# library's test executable; with VELMORA_FUZZ it is also the fuzzer
# program fuzz_NAME in <build>/fuzz, run by `make fuzz`. For the test the
# target is compiled apart with its entry point renamed after it, so that
# one test executable runs the cases of several targets.
function(velmora_fuzz_target name)
  cmake_parse_arguments(ARG "" "SOURCE;SEEDS;TEST" "DEPS" ${ARGN})
  add_library(fuzz_${name}_regression OBJECT ${ARG_SOURCE} ${PROJECT_SOURCE_DIR}/testsupport/fuzz_regression_test.cpp)
  target_compile_definitions(fuzz_${name}_regression PRIVATE VELMORA_FUZZ_SEEDS="${ARG_SEEDS}"
    VELMORA_FUZZ_TARGET="${name}" LLVMFuzzerTestOneInput=velmora_fuzz_target_${name})
  target_link_libraries(fuzz_${name}_regression PRIVATE velmora_testsupport ${ARG_DEPS} velmora_warnings)
  target_link_libraries(${ARG_TEST} PRIVATE fuzz_${name}_regression)
  if(VELMORA_FUZZ)
    add_executable(fuzz_${name} ${ARG_SOURCE})
    target_link_libraries(fuzz_${name} PRIVATE ${ARG_DEPS})
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    set_target_properties(fuzz_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/fuzz)
    add_dependencies(velmora_fuzz_targets fuzz_${name})
    file(APPEND ${PROJECT_BINARY_DIR}/fuzz/seeds.txt "fuzz_${name} ${ARG_SEEDS}\n")
  endif()
endfunction()

# velmora_link_closure(TARGET OUT): every library the target links, directly
# or through others.
function(velmora_link_closure target out)
  set(seen "")
  set(pending ${target})
  while(pending)
    list(POP_FRONT pending current)
    if(NOT TARGET ${current})
      continue()
    endif()
    get_target_property(direct ${current} LINK_LIBRARIES)
    get_target_property(interface ${current} INTERFACE_LINK_LIBRARIES)
    foreach(item IN LISTS direct interface)
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" item "${item}")
      if(item AND NOT item MATCHES "^\\$<" AND NOT item IN_LIST seen)
        list(APPEND seen ${item})
        list(APPEND pending ${item})
      endif()
    endforeach()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

# velmora_shipped_program(TARGET): a program that ships links no test
# library (testsupport, test hooks, *_testing, doctest), and a CTest checks
# that its sources include no header of the measurement engine's inside.
function(velmora_shipped_program target)
  velmora_link_closure(${target} libraries)
  foreach(library IN LISTS libraries)
    if(library MATCHES "testsupport|test_hooks|_testing$|doctest")
      message(FATAL_ERROR "${target} ships, yet links the test library ${library}")
    endif()
  endforeach()
  set(sources "")
  foreach(library IN LISTS target libraries)
    if(TARGET ${library} AND library MATCHES "^(velmora|velmora-app|velmora-collector|velmora_collector)$")
      get_target_property(dir ${library} SOURCE_DIR)
      get_target_property(files ${library} SOURCES)
      foreach(file IN LISTS files)
        if(NOT IS_ABSOLUTE ${file})
          set(file ${dir}/${file})
        endif()
        list(APPEND sources ${file})
      endforeach()
      file(GLOB headers ${dir}/*.h)
      list(APPEND sources ${headers})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES sources)
  list(JOIN sources "\n" listed)
  file(WRITE ${PROJECT_BINARY_DIR}/${target}_sources.txt "${listed}\n")
  add_test(NAME ${target}_includes_public_interfaces_only
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DSOURCE_LIST=${PROJECT_BINARY_DIR}/${target}_sources.txt
            -P ${PROJECT_SOURCE_DIR}/cmake/check_tool_includes.cmake)
  set_tests_properties(${target}_includes_public_interfaces_only PROPERTIES LABELS structure)
endfunction()
