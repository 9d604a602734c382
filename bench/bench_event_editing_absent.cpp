// Stand-ins when the comparison interpreters are not installed
// (scripts/bench-script-deps installs them).

#include "bench_event_editing_peers.h"

namespace bench {

#ifndef VELMORA_BENCH_DUKTAPE
std::optional<double> editWithDuktape(const std::vector<measurement::APMPEvent>&, EditingTally&) {
    return std::nullopt;
}
#endif
#ifndef VELMORA_BENCH_LUA
std::optional<double> editWithLua(const std::vector<measurement::APMPEvent>&, EditingTally&) { return std::nullopt; }
#endif

}  // namespace bench
