// The process's table of classes by name.
#include "platform/foundation/class_registry.h"

#include <map>
#include <mutex>

namespace platform {

namespace {

struct Table {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<RuntimeObject>> classes;
};

Table& table() {
    static Table instance;
    return instance;
}

}  // namespace

Value RuntimeObject::performSelector(const std::string& /*selector*/) { return {}; }

std::shared_ptr<RuntimeObject> RuntimeObject::performObjectSelector(const std::string& /*selector*/) {
    return nullptr;
}

Value RuntimeObject::performSelectorWithArguments(const std::string& /*selector*/, const Value::Array& /*arguments*/) {
    return {};
}

std::shared_ptr<RuntimeObject> RuntimeObject::performObjectSelectorWithArguments(const std::string& /*selector*/,
                                                                                 const Value::Array& /*arguments*/) {
    return nullptr;
}

void ClassRegistry::registerClass(const std::string& name, std::shared_ptr<RuntimeObject> classObject) {
    std::lock_guard lock(table().mutex);
    if (classObject) {
        table().classes[name] = std::move(classObject);
    } else {
        table().classes.erase(name);
    }
}

void ClassRegistry::removeClass(const std::string& name) {
    std::lock_guard lock(table().mutex);
    table().classes.erase(name);
}

std::shared_ptr<RuntimeObject> ClassRegistry::classNamed(const std::string& name) {
    std::lock_guard lock(table().mutex);
    auto found = table().classes.find(name);
    return found == table().classes.end() ? nullptr : found->second;
}

std::vector<std::string> ClassRegistry::classNames() {
    std::lock_guard lock(table().mutex);
    std::vector<std::string> names;
    for (const auto& entry : table().classes) names.push_back(entry.first);
    return names;
}

}  // namespace platform
