#pragma once

#include <optional>
#include <string>

// The comparison interpreters of bench_script: each runs a program's source
// once and answers the seconds it took, or nothing when the interpreter is
// not built in (or the program failed).
namespace bench {

std::optional<double> runDuktape(const std::string& source);
std::optional<double> runLua(const std::string& source);

}  // namespace bench
