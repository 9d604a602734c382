# What every runner test's launches share, included by the run_*.cmake
# scripts: nothing leaves the machine, the connection test fails at once
# (nobody listens on the discard port), texts and numbers are in English,
# and the data folder starts empty.
#   velmora_runner_environment(DATA)
macro(velmora_runner_environment data)
  unset(ENV{VELMORA_MEASUREMENT_SERVICE_URL})
  unset(ENV{VELMORA_REMOTE_CONFIG_SOURCE})
  unset(ENV{VELMORA_RESOURCES})
  unset(ENV{VELMORA_DATA})
  set(ENV{VELMORA_CONNECTION_PROBE_URL} "http://127.0.0.1:9/")
  set(ENV{LC_ALL} "en_US")
  file(REMOVE_RECURSE "${data}")
  file(MAKE_DIRECTORY "${data}")
endmacro()
