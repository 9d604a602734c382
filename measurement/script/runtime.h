#pragma once

// APMPRuntime: the script runtime.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "measurement/foundation/messages.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/object_values.h"
#include "measurement/script/scope.h"

namespace measurement {

// Creates a module on its first require; nothing (a null reference) fails
// the require with error 15.
using APMPModuleCreator = std::function<APMPValueRef()>;

// The module creators of one runtime, by module name.
class APMPDynamicProvider {
public:
    void setModuleCreator(APMPModuleCreator creator, const std::u16string& name);
    // Undefined without an error when no creator has the name.
    APMPValueRef moduleForName(const std::u16string& name, ScriptError& error) const;

private:
    std::unordered_map<std::u16string, APMPModuleCreator> _creators;
};

// The script function require(name): each module is created at most once
// per runtime and handed out again afterwards.
class APMPRequire final : public APMPNativeFunctionValue {
public:
    explicit APMPRequire(std::shared_ptr<APMPDynamicProvider> provider);
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) override;

protected:
    // The modules handed out stay alive with require.
    void markChildren(std::vector<APMPMarkable*>& work) override;
    void releaseContents() override;

private:
    std::shared_ptr<APMPDynamicProvider> _provider;
    std::unordered_map<std::u16string, APMPValueRef> _modules;
};

// The module "internal.platform": a function with the property
// "getVersion" that yields the runtime version.
class APMPRuntimePlatform final : public APMPNativeFunctionValue {
public:
    APMPRuntimePlatform();
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) override;
};

class APMPFunctionGetVersion final : public APMPNativeFunctionValue {
public:
    APMPFunctionGetVersion() : APMPNativeFunctionValue(u"getVersion") {}
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) override;
};

// One script runtime: root and global scopes, module provider, object
// manager and run budget. Used by one thread at a time.
class APMPRuntime {
public:
    explicit APMPRuntime(const APMPRuntimeLimits& limits = {});
    // Releases the contents of every value the runtime tracked, so that no
    // cycle a program built outlives it.
    ~APMPRuntime();
    APMPRuntime(const APMPRuntime&) = delete;
    APMPRuntime& operator=(const APMPRuntime&) = delete;

    static double runtimeVersion() { return 0; }

    // Registers (or replaces) a module creator for require.
    void setModuleCreator(APMPModuleCreator creator, const std::string& name);

    // Converts and evaluates the entities one after another in the global
    // scope; yields the last result (undefined for none). The first
    // conversion or evaluation error stops the run; control values do not.
    APMPValueRef executeStatements(const nano_APMPBRuntimeEntity* entities, std::size_t count, ScriptError& error);

    // A new child of the global scope on every call.
    Ref<APMPScope> getRunScope();

    // A new run: the evaluation count (and what the run allocated) restarts.
    void resetInstructionCount();
    std::int64_t getInstructionCount() const;

    APMPScope& initialScope() { return *_initScope; }
    APMPScope& globalScope() { return *_globalScope; }
    APMPObjectManager& objectManager() { return *_objectManager; }
    const APMPRuntimeLimits& limits() const;

    void addGarbageCollectionRoot(APMPMarkable* root);
    void collectGarbage();

private:
    Ref<APMPObjectManager> _objectManager;
    Ref<APMPScope> _initScope;
    Ref<APMPScope> _globalScope;
    std::shared_ptr<APMPDynamicProvider> _apiProvider;
};

}  // namespace measurement
