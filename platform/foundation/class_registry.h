#pragma once

// Classes found by name at run time, and the messages their objects answer.

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform {

// An object (or class object) as a caller that found it by name sees it: it
// tells which selectors it answers and answers them. Code that must run
// whether or not a framework is linked talks to the framework only this way.
class RuntimeObject {
public:
    virtual ~RuntimeObject() = default;
    virtual bool respondsToSelector(const std::string& selector) const = 0;
    // The answer to a message that returns a plain value; null when the
    // object does not answer the selector.
    virtual Value performSelector(const std::string& selector);
    // The answer to a message that returns an object; null when the object
    // does not answer the selector or has none to give.
    virtual std::shared_ptr<RuntimeObject> performObjectSelector(const std::string& selector);
    // The same for a selector that takes arguments, one per keyword, in
    // order ("initWithEmailAddress:appID:" takes two). A class object
    // answers its initialisers this way with a new object, or null when it
    // refuses the arguments.
    virtual Value performSelectorWithArguments(const std::string& selector, const Value::Array& arguments);
    virtual std::shared_ptr<RuntimeObject> performObjectSelectorWithArguments(const std::string& selector,
                                                                              const Value::Array& arguments);
};

// The process's table of linked classes by name. A framework stand-in puts
// its class objects here when it is linked and takes them out when it is
// not, so code that looks classes up sees a process with or without it.
// Safe to use from any thread.
class ClassRegistry {
public:
    // Replaces a class of the same name.
    static void registerClass(const std::string& name, std::shared_ptr<RuntimeObject> classObject);
    static void removeClass(const std::string& name);
    // None when no class of that name is linked.
    static std::shared_ptr<RuntimeObject> classNamed(const std::string& name);
    static std::vector<std::string> classNames();
};

}  // namespace platform
