// The environment a test executable started with.
#include "testsupport/test_environment.h"

namespace testsupport {

namespace {

std::vector<std::string>& recorded() {
    static std::vector<std::string> entries;
    return entries;
}

}  // namespace

void recordEnvironment(const char* const* environment) {
    recorded().clear();
    for (; environment && *environment; ++environment) recorded().emplace_back(*environment);
}

const std::vector<std::string>& environmentAtStart() { return recorded(); }

std::optional<std::string> variableAtStart(const std::string& name) {
    const std::string prefix = name + "=";
    for (const auto& entry : recorded()) {
        if (entry.rfind(prefix, 0) == 0) return entry.substr(prefix.size());
    }
    return std::nullopt;
}

}  // namespace testsupport
