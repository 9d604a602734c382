// Stand-ins when the comparison interpreters are not installed
// (scripts/bench-script-deps installs them).

#include "bench_script_baselines.h"

namespace bench {

#ifndef VELMORA_BENCH_DUKTAPE
std::optional<double> runDuktape(const std::string&) { return std::nullopt; }
#endif
#ifndef VELMORA_BENCH_LUA
std::optional<double> runLua(const std::string&) { return std::nullopt; }
#endif

}  // namespace bench
