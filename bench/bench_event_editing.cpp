// Microseconds per event of an event-editing program through the engine's
// host, over 10,000 events of 12 parameters: it renames a parameter, drops
// one, adds two, and creates a second event for one event name in ten. The
// same program runs on duktape and Lua 5.4 behind hosts of the same shape;
// the figures are medians of seven rounds in which the hosts take turns,
// with the longest round beside them, and the ratios are measured in the
// same run. The process's peak memory, its context switches and the
// load average at the start and the end close the run.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bench_event_editing_peers.h"
#include "bench_report.h"
#include "measurement/script/editing/editing_factory.h"
#include "measurement/script/program_decoder.h"
#include "measurement/script/text/program_text.h"
#include "platform/foundation/launch_options.h"

namespace {

using measurement::APMPEvent;
using platform::Value;

constexpr int kEvents = 10000;
constexpr int kRounds = 7;

const char* const kProgram = R"program(
(var "reg" "log")
(set "reg" ("require" "internal.registerCallback"))
(set "log" ("require" "internal.eventLogger"))
(function "edit" (array "e")
  (call $e "setParamValue" (array "renamed" (call $e "getParamValue" (array "p0"))))
  (call $e "setParamValue" (array "p0" null))
  (call $e "setParamValue" (array "p1" null))
  (call $e "setParamValue" (array "added_text" "x"))
  (call $e "setParamValue" (array "added_number" 42))
  (return 0))
(function "make" (array "e")
  (if (is (call $e "getEventName" (array)) "event_0")
      (code ("log" "event_0_copy" (call $e "getTimestamp" (array))
                   (object "source" (call $e "getParamValue" (array "p2")))))))
("reg" 0 $edit (object "type" "edit"))
("reg" 0 $make (object "type" "create"))
)program";

// Ten event names in turn; parameters p0 to p11, text, integers and
// doubles in turn.
std::vector<APMPEvent> workload() {
    std::vector<APMPEvent> events;
    events.reserve(kEvents);
    for (int i = 0; i < kEvents; ++i) {
        Value::Dictionary parameters;
        for (int k = 0; k < 12; ++k) {
            const std::string name = "p" + std::to_string(k);
            if (k % 3 == 0) parameters[name] = "value_" + std::to_string(k) + "_" + std::to_string(i);
            if (k % 3 == 1) parameters[name] = static_cast<long long>(i) * k;
            if (k % 3 == 2) parameters[name] = i * 0.5 + k;
        }
        events.emplace_back("event_" + std::to_string(i % 10), 1700000000.0 + i * 0.25, std::move(parameters));
    }
    return events;
}

std::optional<double> editWithRuntime(const std::vector<APMPEvent>& events, bench::EditingTally& tally) {
    const auto assembled = measurement::script_text::assemble(kProgram);
    const auto bytes = measurement::script_text::encodeProgram(assembled.program);
    measurement::ScriptError decodeError;
    const auto program = measurement::APMPDecodeProgram(bytes.data(), bytes.size(), decodeError);
    if (!assembled.ok() || !program) return std::nullopt;
    measurement::APMPEventEditingFactory factory;
    std::optional<measurement::APMError> error;
    const auto host = factory.makeEventEditingWithProgram(*program, {}, &error);
    if (!host) return std::nullopt;
    const auto start = std::chrono::steady_clock::now();
    for (const auto& event : events) {
        const auto result = host->handleEvent(event, &error);
        if (!result) return std::nullopt;
        tally.add(*result, event);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The figures of a list when every one is there; nothing otherwise.
std::optional<std::vector<double>> allOf(const std::vector<std::optional<double>>& figures) {
    std::vector<double> known;
    for (const auto& figure : figures) {
        if (!figure) return std::nullopt;
        known.push_back(*figure);
    }
    if (known.empty()) return std::nullopt;
    return known;
}

// The median of a list of figures; nothing when one is missing.
std::optional<double> medianOf(const std::vector<std::optional<double>>& figures) {
    const auto known = allOf(figures);
    if (!known) return std::nullopt;
    return bench::median(*known);
}

// The longest of a list of figures; nothing when one is missing.
std::optional<double> longestOf(const std::vector<std::optional<double>>& figures) {
    const auto known = allOf(figures);
    if (!known) return std::nullopt;
    return bench::longest(*known);
}

std::optional<double> quotient(std::optional<double> ours, std::optional<double> theirs) {
    if (!ours || !theirs) return std::nullopt;
    return *ours / *theirs;
}

// The three hosts take turns in each round, so that a change of load on a
// shared machine falls on all of them alike; the ratios are medians of
// each round's own ratios.
struct Rounds {
    std::vector<std::optional<double>> runtime, duktape, lua, overDuktape, overLua;
};

Rounds runRounds(const std::vector<APMPEvent>& events, bench::EditingTally& ours, bench::EditingTally& duktape,
                 bench::EditingTally& lua) {
    Rounds rounds;
    for (int round = 0; round < kRounds; ++round) {
        ours = {};
        duktape = {};
        lua = {};
        rounds.runtime.push_back(editWithRuntime(events, ours));
        rounds.duktape.push_back(bench::editWithDuktape(events, duktape));
        rounds.lua.push_back(bench::editWithLua(events, lua));
        rounds.overDuktape.push_back(quotient(rounds.runtime.back(), rounds.duktape.back()));
        rounds.overLua.push_back(quotient(rounds.runtime.back(), rounds.lua.back()));
    }
    return rounds;
}

std::string perEvent(std::optional<double> seconds) {
    if (!seconds) return "absent";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f us", *seconds * 1e6 / kEvents);
    return buffer;
}

std::string ratio(std::optional<double> value) {
    if (!value) return "-";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2fx", *value);
    return buffer;
}

}  // namespace

int main() {
    const bench::RunReport report;
    platform::LaunchOptions::install(platform::LaunchOptions::fromVariables(std::getenv));
    const auto events = workload();
    bench::EditingTally ours;
    bench::EditingTally duktape;
    bench::EditingTally lua;
    const auto rounds = runRounds(events, ours, duktape, lua);
    const auto runtime = medianOf(rounds.runtime);
    const auto duktapeTime = medianOf(rounds.duktape);
    const auto luaTime = medianOf(rounds.lua);
    if (!runtime) {
        std::fprintf(stderr, "the runtime's host failed\n");
        return 1;
    }
    std::printf("%d events of 12 parameters; %zu edited, %zu created\n", kEvents, ours.edited, ours.created);
    std::printf("%-12s %12s %12s %12s %16s %12s\n", "host", "runtime", "duktape", "lua", "runtime/duktape",
                "runtime/lua");
    std::printf("%-12s %12s %12s %12s %16s %12s\n", "per event", perEvent(runtime).c_str(),
                perEvent(duktapeTime).c_str(), perEvent(luaTime).c_str(), ratio(medianOf(rounds.overDuktape)).c_str(),
                ratio(medianOf(rounds.overLua)).c_str());
    std::printf("%-12s %12s %12s %12s %16s %12s\n", "longest", perEvent(longestOf(rounds.runtime)).c_str(),
                perEvent(longestOf(rounds.duktape)).c_str(), perEvent(longestOf(rounds.lua)).c_str(),
                ratio(longestOf(rounds.overDuktape)).c_str(), ratio(longestOf(rounds.overLua)).c_str());
    std::printf("(ratios are time of the runtime over time of the other interpreter: above 1 is slower)\n");
    if ((duktapeTime && !(duktape == ours)) || (luaTime && !(lua == ours))) {
        std::fprintf(stderr, "the hosts disagree on what came out\n");
        return 1;
    }
    std::printf("(per event: medians of %d rounds, and the longest round; the longest ratio is the largest of the "
                "rounds')\n",
                kRounds);
    report.printEnd("bench_event_editing");
    return 0;
}
