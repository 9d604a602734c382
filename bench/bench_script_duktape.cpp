#include <duktape.h>

#include <chrono>
#include <cstdio>

#include "bench_script_baselines.h"

namespace bench {

std::optional<double> runDuktape(const std::string& source) {
    duk_context* context = duk_create_heap_default();
    if (!context) return std::nullopt;
    const auto start = std::chrono::steady_clock::now();
    const bool failed = duk_peval_string(context, source.c_str()) != 0;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (failed) std::fprintf(stderr, "duktape: %s\n", duk_safe_to_string(context, -1));
    duk_destroy_heap(context);
    if (failed) return std::nullopt;
    return elapsed.count();
}

}  // namespace bench
