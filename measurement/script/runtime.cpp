// The runtime: programs, modules, native functions and runs.
#include "measurement/script/runtime.h"

#include "measurement/script/entity_converter.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/runtime_helpers.h"
#include "measurement/script/script_string.h"

namespace measurement {

void APMPDynamicProvider::setModuleCreator(APMPModuleCreator creator, const std::u16string& name) {
    _creators[name] = std::move(creator);
}

APMPValueRef APMPDynamicProvider::moduleForName(const std::u16string& name, ScriptError& error) const {
    const auto it = _creators.find(name);
    if (it == _creators.end() || !it->second) return APMPUndefined();
    APMPValueRef module = it->second();
    if (!module) {
        error.fail(kAPMPErrorModuleCreatorFailed);
        return APMPUndefined();
    }
    return module;
}

APMPRequire::APMPRequire(std::shared_ptr<APMPDynamicProvider> provider)
    : APMPNativeFunctionValue(u"require"), _provider(std::move(provider)) {}

APMPValueRef APMPRequire::invokeWithArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return APMPUndefined();
    const auto values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    const auto name = values[0]->stringValueOrError(error);
    if (error) return APMPUndefined();
    if (const auto it = _modules.find(name); it != _modules.end()) return it->second;
    if (!_provider) return APMPUndefined();
    APMPValueRef module = _provider->moduleForName(name, error);
    if (error) return APMPUndefined();
    // Modules are tracked so that the runtime's end breaks any cycle
    // through them; require keeps them marked while it is reachable.
    if (APMPObjectManager* manager = objectManager()) manager->addObject(module.get());
    _modules.emplace(name, module);
    return module;
}

void APMPRequire::markChildren(std::vector<APMPMarkable*>& work) {
    APMPNativeFunctionValue::markChildren(work);
    for (const auto& [name, module] : _modules) {
        if (APMPRuntimeValue* object = module.get()) work.push_back(object);
    }
}

void APMPRequire::releaseContents() {
    APMPNativeFunctionValue::releaseContents();
    auto modules = std::move(_modules);
    _modules.clear();
}

APMPRuntimePlatform::APMPRuntimePlatform() : APMPNativeFunctionValue(u"internal.platform") {
    setValue(makeRef<APMPFunctionGetVersion>(), u"getVersion");
}

APMPValueRef APMPRuntimePlatform::invokeWithArguments(const APMPValueList&, APMPScope&, ScriptError&) {
    return APMPUndefined();
}

APMPValueRef APMPFunctionGetVersion::invokeWithArguments(const APMPValueList&, APMPScope&, ScriptError&) {
    return APMPNumber(APMPRuntime::runtimeVersion());
}

APMPRuntime::APMPRuntime(const APMPRuntimeLimits& limits)
    : _objectManager(makeRef<APMPObjectManager>(limits)),
      _initScope(makeRef<APMPScope>()),
      _apiProvider(std::make_shared<APMPDynamicProvider>()) {
    // The manager goes on the root first, so every descendant finds it.
    _initScope->setObjectManager(_objectManager);
    _globalScope = _initScope->createChildScope();
    _objectManager->addRoot(_initScope.get());
    _objectManager->addRoot(_globalScope.get());
    auto require = makeRef<APMPRequire>(_apiProvider);
    _objectManager->addObject(require.get());
    _globalScope->setValue(require, u"require");
    setModuleCreator([] { return APMPValueRef(makeRef<APMPRuntimePlatform>()); }, "internal.platform");
    resetInstructionCount();
}

APMPRuntime::~APMPRuntime() { _objectManager->releaseAll(); }

void APMPRuntime::setModuleCreator(APMPModuleCreator creator, const std::string& name) {
    _apiProvider->setModuleCreator(std::move(creator), utf16FromUTF8(name));
}

APMPValueRef APMPRuntime::executeStatements(const nano_APMPBRuntimeEntity* entities, std::size_t count,
                                            ScriptError& error) {
    APMPValueRef result = APMPUndefined();
    APMPProgramLiterals literals;
    for (std::size_t i = 0; i < count; ++i) {
        APMPValueRef statement = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(
            entities[i], literals, error, limits().maxEntityDepth);
        if (error) return APMPUndefined();
        result = APMPEvaluator::evaluateStatement(statement, *_globalScope, error);
        if (error) return APMPUndefined();
    }
    return result;
}

Ref<APMPScope> APMPRuntime::getRunScope() { return _globalScope->createChildScope(); }

void APMPRuntime::resetInstructionCount() { _objectManager->budget().reset(); }

std::int64_t APMPRuntime::getInstructionCount() const { return _objectManager->budget().instructionCount(); }

const APMPRuntimeLimits& APMPRuntime::limits() const { return _objectManager->budget().limits(); }

void APMPRuntime::addGarbageCollectionRoot(APMPMarkable* root) { _objectManager->addRoot(root); }

void APMPRuntime::collectGarbage() { _objectManager->collectGarbage(); }

}  // namespace measurement
