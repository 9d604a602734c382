// Evaluations per second of the measurement script runtime on five kinds of
// program (a dispatch loop, string methods, array methods, function calls,
// and an event edit: read a map's parameters, compare strings, build a new
// map), and the time of the same programs on duktape and Lua 5.4, as ratios
// measured in one run. Each figure is the median of five runs, with the
// longest of the five beside it; the process's peak memory, its
// context switches and the load average at the start and the end close the
// run.
//
//   bench_script [--runtime-only] [--repeat N] [WORKLOAD...]
//
// WORKLOAD picks workloads by the start of their name ("dispatch",
// "calls"); --runtime-only skips the other interpreters and --repeat runs
// each program N times more (for a profiler).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench_report.h"
#include "bench_script_baselines.h"
#include "measurement/script/text/program_text.h"
#include "measurement/script/text/script_runner.h"
#include "platform/foundation/launch_options.h"

namespace {

struct Workload {
    const char* name;
    std::string script;  // the runtime's text form
    std::string javascript;
    std::string lua;
};

std::string loop(int count, const std::string& body) {
    return "(var \"i\") (set \"i\" 0) (while (lt $i " + std::to_string(count) +
           ") (set \"i\" (add $i 1)) false (code " + body + "))";
}

std::vector<Workload> workloads() {
    return {
        {"dispatch loop",
         "(var \"s\") (set \"s\" 0) " + loop(200000, "(set \"s\" (add $s $i))") + " $s",
         "(function () { var i = 0, s = 0; while (i < 200000) { s = s + i; i = i + 1; } return s; })()",
         "local i, s = 0, 0 while i < 200000 do s = s + i; i = i + 1 end"},
        {"string methods",
         "(var \"p\" \"t\" \"x\") (set \"x\" 0) " +
             loop(20000,
                  "(set \"p\" (call \"abc,def,ghi\" \"split\" (array \",\"))) "
                  "(set \"t\" (call (call $p \"join\" (array \"-\")) \"toUpperCase\" (array))) "
                  "(set \"x\" (add $x (call $t \"indexOf\" (array \"DEF\"))))") +
             " $x",
         "(function () { var i = 0, x = 0, p, t; while (i < 20000) { p = 'abc,def,ghi'.split(','); "
         "t = p.join('-').toUpperCase(); x = x + t.indexOf('DEF'); i = i + 1; } return x; })()",
         "local x = 0 for i = 1, 20000 do local p = {} for piece in string.gmatch('abc,def,ghi', '[^,]+') do "
         "p[#p + 1] = piece end local t = string.upper(table.concat(p, '-')) "
         "x = x + (string.find(t, 'DEF', 1, true) - 1) end"},
        {"array methods",
         "(var \"x\" \"double\" \"order\") (set \"x\" 0) "
         "(set \"double\" (lambda \"\" (array \"v\") (return (mul $v 2)))) "
         "(set \"order\" (lambda \"\" (array \"a\" \"b\") (return (sub $a $b)))) " +
             loop(10000,
                  "(set \"x\" (add $x (call (call (call (array 5 3 1 4 2) \"map\" (array $double)) \"sort\" "
                  "(array $order)) \"indexOf\" (array 8))))") +
             " $x",
         "(function () { var x = 0, i = 0; function double(v) { return v * 2; } "
         "function order(a, b) { return a - b; } while (i < 10000) { "
         "x = x + [5, 3, 1, 4, 2].map(double).sort(order).indexOf(8); i = i + 1; } return x; })()",
         "local function map(t, f) local r = {} for k = 1, #t do r[k] = f(t[k]) end return r end "
         "local function indexOf(t, v) for k = 1, #t do if t[k] == v then return k - 1 end end return -1 end "
         "local function double(v) return v * 2 end local function order(a, b) return a < b end "
         "local x = 0 for i = 1, 10000 do local t = map({5, 3, 1, 4, 2}, double) table.sort(t, order) "
         "x = x + indexOf(t, 8) end"},
        {"calls",
         "(function \"fib\" (array \"n\") (if (lt $n 2) (code (return $n))) "
         "(return (add (\"fib\" (sub $n 1)) (\"fib\" (sub $n 2))))) (\"fib\" 20)",
         "(function () { function fib(n) { if (n < 2) return n; return fib(n - 1) + fib(n - 2); } return fib(20); })()",
         "local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end local r = fib(20)"},
        {"event edit",
         "(var \"e\" \"out\" \"n\") "
         "(set \"e\" (object \"name\" \"purchase\" \"currency\" \"EUR\" \"value\" 12.5 \"items\" 3 "
         "\"origin\" \"app\")) (set \"n\" 0) " +
             loop(20000,
                  "(set \"out\" (object)) "
                  "(forinconst \"k\" $e (code (if (isnt $k \"origin\") (code (setprop $out $k (prop $e $k)))))) "
                  "(if (is (prop $e \"name\") \"purchase\") (code (setprop $out \"name\" \"ecommerce_purchase\"))) "
                  "(if (isnt (prop $e \"currency\") \"USD\") "
                  "(code (setprop $out \"value\" (mul (prop $e \"value\") 100)))) "
                  "(set \"n\" (add $n (prop $out \"value\")))") +
             " $n",
         "(function () { var e = {name: 'purchase', currency: 'EUR', value: 12.5, items: 3, origin: 'app'}; "
         "var n = 0, i = 0, out, k; while (i < 20000) { out = {}; "
         "for (k in e) { if (k !== 'origin') out[k] = e[k]; } "
         "if (e.name === 'purchase') out.name = 'ecommerce_purchase'; "
         "if (e.currency !== 'USD') out.value = e.value * 100; n = n + out.value; i = i + 1; } return n; })()",
         "local e = {name = 'purchase', currency = 'EUR', value = 12.5, items = 3, origin = 'app'} local n = 0 "
         "for i = 1, 20000 do local out = {} for k, v in pairs(e) do if k ~= 'origin' then out[k] = v end end "
         "if e.name == 'purchase' then out.name = 'ecommerce_purchase' end "
         "if e.currency ~= 'USD' then out.value = e.value * 100 end n = n + out.value end"},
    };
}

constexpr int kRuns = 5;

// The seconds of several runs; nothing when a run fails.
template <class F>
std::optional<bench::Spread> runs(F run) {
    std::vector<double> times;
    for (int attempt = 0; attempt < kRuns; ++attempt) {
        const auto seconds = run();
        if (!seconds) return std::nullopt;
        times.push_back(*seconds);
    }
    return bench::spreadOf(times);
}

std::optional<double> medianOf(const std::optional<bench::Spread>& spread) {
    if (!spread) return std::nullopt;
    return spread->median;
}

std::optional<double> longestOf(const std::optional<bench::Spread>& spread) {
    if (!spread) return std::nullopt;
    return spread->longest;
}

struct Options {
    bool runtimeOnly = false;
    int repeat = 0;
    std::vector<std::string> workloads;

    bool wants(const char* name) const {
        if (workloads.empty()) return true;
        return std::any_of(workloads.begin(), workloads.end(),
                           [name](const std::string& w) { return std::strncmp(name, w.c_str(), w.size()) == 0; });
    }
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runtime-only") == 0) {
            options.runtimeOnly = true;
        } else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            options.repeat = std::atoi(argv[++i]);
        } else {
            options.workloads.emplace_back(argv[i]);
        }
    }
    return options;
}

std::string ratio(std::optional<double> ours, std::optional<double> theirs) {
    if (!ours || !theirs) return "-";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2fx", *ours / *theirs);
    return buffer;
}

std::string milliseconds(std::optional<double> seconds) {
    if (!seconds) return "absent";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f ms", *seconds * 1000);
    return buffer;
}

}  // namespace

int main(int argc, char** argv) {
    platform::LaunchOptions::install(platform::LaunchOptions::fromVariables(std::getenv));
    const Options options = parse(argc, argv);
    measurement::APMPRuntimeLimits limits;
    limits.maxInstructions = 1'000'000'000;
    limits.maxAllocationBytes = std::size_t{1} << 34;
    const bench::RunReport report;
    std::printf("%-16s %12s %14s %12s %12s %16s %12s %12s %12s %12s\n", "workload", "runtime", "evaluations/s",
                "duktape", "lua", "runtime/duktape", "runtime/lua", "runtime max", "duktape max", "lua max");
    for (const auto& workload : workloads()) {
        if (!options.wants(workload.name)) continue;
        const auto assembled = measurement::script_text::assemble(workload.script);
        if (!assembled.ok()) {
            std::fprintf(stderr, "%s: %s\n", workload.name, assembled.error.c_str());
            return 1;
        }
        const auto bytes = measurement::script_text::encodeProgram(assembled.program);
        std::int64_t evaluations = 0;
        for (int i = 0; i < options.repeat; ++i) measurement::script_text::runProgramBytes(bytes, limits);
        const auto ourRuns = runs([&]() -> std::optional<double> {
            const auto start = std::chrono::steady_clock::now();
            const auto result = measurement::script_text::runProgramBytes(bytes, limits);
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            if (result.error) {
                std::fprintf(stderr, "%s: error %ld\n", workload.name, result.error.code);
                return std::nullopt;
            }
            evaluations = result.evaluations;
            return elapsed.count();
        });
        std::optional<bench::Spread> duktapeRuns;
        std::optional<bench::Spread> luaRuns;
        if (!options.runtimeOnly) {
            duktapeRuns = runs([&] { return bench::runDuktape(workload.javascript); });
            luaRuns = runs([&] { return bench::runLua(workload.lua); });
        }
        const auto ours = medianOf(ourRuns);
        const auto duktape = medianOf(duktapeRuns);
        const auto lua = medianOf(luaRuns);
        char rate[32] = "-";
        if (ours) std::snprintf(rate, sizeof rate, "%.3g", static_cast<double>(evaluations) / *ours);
        std::printf("%-16s %12s %14s %12s %12s %16s %12s %12s %12s %12s\n", workload.name, milliseconds(ours).c_str(),
                    rate, milliseconds(duktape).c_str(), milliseconds(lua).c_str(), ratio(ours, duktape).c_str(),
                    ratio(ours, lua).c_str(), milliseconds(longestOf(ourRuns)).c_str(),
                    milliseconds(longestOf(duktapeRuns)).c_str(), milliseconds(longestOf(luaRuns)).c_str());
    }
    std::printf("(ratios are time of the runtime over time of the other interpreter: above 1 is slower;\n"
                " times are medians of %d runs, the max columns the longest of them)\n",
                kRuns);
    report.printEnd("bench_script");
    return 0;
}
