#pragma once

// What the platform's object runtime tells of a class: its name, its
// superclass's name and whether the application's own bundle defines it.

#include <string>
#include <typeinfo>

namespace platform::ui {

class Responder;

struct RuntimeClass {
    // The class's name as the runtime knows it ("CalculateViewController").
    std::string name;
    // Empty when the class did not declare one.
    std::string superclassName;
    // Defined by the application rather than by a framework of the platform.
    bool inMainBundle = true;
};

// Declares a class to the runtime, as a framework's class table would. A
// class never declared is described from its type: its name without
// namespaces, no superclass, and in the main bundle unless it lives in the
// platform's own namespace.
void declareRuntimeClass(const std::type_info& type, RuntimeClass description);
RuntimeClass runtimeClassOf(const std::type_info& type);
RuntimeClass runtimeClassOf(const Responder& object);
// Whether a class of that name was declared to the runtime.
bool runtimeClassExists(const std::string& name);
// Forgets a declaration, for tests.
void forgetDeclaredRuntimeClass(const std::type_info& type);

}  // namespace platform::ui
