#pragma once

#include <functional>
#include <string>

// The engine's console lines (diagnostics a developer reads, never the
// user). They go to standard error unless a sink is set.
namespace velmora {

void consoleLine(const std::string& line);
// An empty function restores standard error.
void setConsoleSink(std::function<void(const std::string&)> sink);

}  // namespace velmora
