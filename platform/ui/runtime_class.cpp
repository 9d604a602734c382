// The runtime's table of declared classes.
#include "platform/ui/runtime_class.h"

#include <cxxabi.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <typeindex>

#include "platform/ui/responder.h"

namespace platform::ui {

namespace {

struct ClassTable {
    std::mutex mutex;
    std::map<std::type_index, RuntimeClass> declared;
};

ClassTable& table() {
    static ClassTable classes;
    return classes;
}

std::string fullTypeName(const std::type_info& type) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = (status == 0 && demangled) ? demangled : type.name();
    std::free(demangled);
    return name;
}

}  // namespace

void declareRuntimeClass(const std::type_info& type, RuntimeClass description) {
    auto& classes = table();
    std::lock_guard lock(classes.mutex);
    classes.declared.insert_or_assign(std::type_index(type), std::move(description));
}

RuntimeClass runtimeClassOf(const std::type_info& type) {
    {
        auto& classes = table();
        std::lock_guard lock(classes.mutex);
        if (auto it = classes.declared.find(std::type_index(type)); it != classes.declared.end()) return it->second;
    }
    RuntimeClass description;
    description.name = shortTypeName(type);
    description.inMainBundle = fullTypeName(type).rfind("platform::", 0) != 0;
    return description;
}

RuntimeClass runtimeClassOf(const Responder& object) { return runtimeClassOf(typeid(object)); }

bool runtimeClassExists(const std::string& name) {
    auto& classes = table();
    std::lock_guard lock(classes.mutex);
    for (const auto& [type, description] : classes.declared) {
        if (description.name == name) return true;
    }
    return false;
}

void forgetDeclaredRuntimeClass(const std::type_info& type) {
    auto& classes = table();
    std::lock_guard lock(classes.mutex);
    classes.declared.erase(std::type_index(type));
}

}  // namespace platform::ui
