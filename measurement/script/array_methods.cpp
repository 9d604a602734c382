// Array methods of the script runtime.
#include <cmath>

#include "measurement/script/command_support.h"

namespace measurement {

namespace {

using namespace commands;

bool isPresent(const APMPArrayValue& array, std::size_t i) { return i < array.count() && !array.slots()[i]->isHole(); }

// The element list element, index, array handed to callbacks.
void callbackArguments(APMPValueList& list, APMPArrayValue& array, std::size_t i) {
    list.clear();
    list.push_back(array.slots()[i]);
    list.push_back(APMPNumber(static_cast<double>(i)));
    list.emplace_back(&array);
}

// The callback walk of every, some, filter, map and forEach: the length is
// read once; missing elements are skipped; step sees each result and says
// whether to go on.
template <class Step>
bool walk(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope, ScriptError& error, Step step) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return false;
    if (!arguments[0]->isFunction()) {
        error.fail(kAPMPErrorArgumentKind);
        return false;
    }
    Ref<APMPFunctionValue> callback(&asFunction(arguments[0]));
    const std::size_t n = array.count();
    APMPArgumentList callArguments;
    for (std::size_t i = 0; i < n; ++i) {
        if (!isPresent(array, i)) continue;
        APMPValueRef element = array.slots()[i];
        callbackArguments(callArguments.list(), array, i);
        APMPValueRef result = callback->invokeWithArguments(callArguments.list(), scope, error);
        if (error) return false;
        if (!step(element, i, result)) break;
        if (error) return false;
    }
    return true;
}

APMPValueRef every(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    bool flag = true;
    walk(array, arguments, scope, error, [&](const APMPValueRef&, std::size_t, const APMPValueRef& result) {
        flag = result->booleanValueOrError(error) && !error;
        return flag;
    });
    return error ? APMPUndefined() : APMPBoolean(flag);
}

APMPValueRef some(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    bool flag = false;
    walk(array, arguments, scope, error, [&](const APMPValueRef&, std::size_t, const APMPValueRef& result) {
        flag = result->booleanValueOrError(error) && !error;
        return !flag && !error;
    });
    return error ? APMPUndefined() : APMPBoolean(flag);
}

APMPValueRef filter(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    APMPValueList kept;
    walk(array, arguments, scope, error, [&](const APMPValueRef& element, std::size_t, const APMPValueRef& result) {
        if (result->booleanValueOrError(error) && !error) kept.push_back(element);
        return !error;
    });
    if (error || !APMPChargeAllocation(scope, kept.size() * sizeof(APMPValueRef), error)) return APMPUndefined();
    return APMPObjectManager::arrayValueWithArray(std::move(kept), scope);
}

APMPValueRef map(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    const std::size_t n = array.count();
    if (!APMPChargeAllocation(scope, n * sizeof(APMPValueRef), error)) return APMPUndefined();
    APMPValueList mapped(n, APMPValueRef(APMPHole()));
    walk(array, arguments, scope, error, [&](const APMPValueRef&, std::size_t i, const APMPValueRef& result) {
        mapped[i] = result;
        return true;
    });
    if (error) return APMPUndefined();
    return APMPObjectManager::arrayValueWithArray(std::move(mapped), scope);
}

APMPValueRef forEach(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    walk(array, arguments, scope, error, [](const APMPValueRef&, std::size_t, const APMPValueRef&) { return true; });
    return APMPUndefined();
}

APMPValueRef hasOwnProperty(APMPArrayValue& array, const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return APMPUndefined();
    const auto name = arguments[0]->stringValueOrError(error);
    if (error) return APMPUndefined();
    if (name == u"length") return APMPBoolean(true);
    const bool has = array.hasProperty(arguments[0], error);
    return error ? APMPUndefined() : APMPBoolean(has);
}

APMPValueRef searchValue(const APMPValueList& arguments) { return arguments.empty() ? APMPUndefined() : arguments[0]; }

APMPValueRef indexOf(APMPArrayValue& array, const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 2, error)) return APMPUndefined();
    const double length = static_cast<double>(array.count());
    double start = integerArgument(arguments, 1, 0, error);
    if (error) return APMPUndefined();
    if (start >= length) return APMPNumber(-1);
    if (start < 0) start = std::max(start + length, 0.0);
    const long index = array.indexOfValue(searchValue(arguments), start, error);
    return error ? APMPUndefined() : APMPNumber(static_cast<double>(index));
}

APMPValueRef lastIndexOf(APMPArrayValue& array, const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 2, error)) return APMPUndefined();
    const double length = static_cast<double>(array.count());
    double start = length - 1;
    if (arguments.size() > 1) {
        const double given = arguments[1]->doubleValueOrError(error);
        if (error) return APMPUndefined();
        if (!std::isnan(given)) start = APMPToInteger(given);
    }
    if (start < 0) start += length;
    if (start < 0) return APMPNumber(-1);
    start = std::min(start, length - 1);
    const long index = array.lastIndexOfValue(searchValue(arguments), start, error);
    return error ? APMPUndefined() : APMPNumber(static_cast<double>(index));
}

APMPValueRef join(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 1, error)) return APMPUndefined();
    std::u16string separator = u",";
    if (!arguments.empty()) {
        separator = arguments[0]->isNullOrUndefined() ? std::u16string() : arguments[0]->stringValueOrError(error);
        if (error) return APMPUndefined();
    }
    auto joined = array.stringValueWithSeparator(separator, error);
    if (error) return APMPUndefined();
    return APMPNewString(std::move(joined), scope, error);
}

APMPValueRef holeAsUndefined(APMPValueRef value) { return value->isHole() ? APMPUndefined() : value; }

APMPValueRef pop(APMPArrayValue& array, const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 0, error)) return APMPUndefined();
    return holeAsUndefined(array.removeLastElement());
}

APMPValueRef shift(APMPArrayValue& array, const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 0, error)) return APMPUndefined();
    return holeAsUndefined(array.removeFirstElement());
}

APMPValueRef push(APMPArrayValue& array, const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    const std::size_t count = array.appendElements(arguments, error);
    return error ? APMPUndefined() : APMPNumber(static_cast<double>(count));
}

APMPValueRef unshift(APMPArrayValue& array, const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    const std::size_t count = array.prependElements(arguments, error);
    return error ? APMPUndefined() : APMPNumber(static_cast<double>(count));
}

template <bool Right>
APMPValueRef fold(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckMinimumArgumentCount(arguments, 1, error) || !APMPCheckMaximumArgumentCount(arguments, 2, error)) {
        return APMPUndefined();
    }
    if (!arguments[0]->isFunction()) return fail(error, kAPMPErrorArgumentKind);
    Ref<APMPFunctionValue> callback(&asFunction(arguments[0]));
    const std::size_t n = array.count();
    APMPValueRef accumulator;
    if (arguments.size() == 2) {
        if (arguments[1]->isControl()) return fail(error, kAPMPErrorArgumentKind);
        accumulator = arguments[1];
    }
    APMPArgumentList callArguments;
    for (std::size_t step = 0; step < n; ++step) {
        const std::size_t i = Right ? n - 1 - step : step;
        if (!isPresent(array, i)) continue;
        if (!accumulator) {
            accumulator = array.slots()[i];
            continue;
        }
        auto& list = callArguments.list();
        list.clear();
        list.push_back(accumulator);
        list.push_back(array.slots()[i]);
        list.push_back(APMPNumber(static_cast<double>(i)));
        list.emplace_back(&array);
        accumulator = callback->invokeWithArguments(list, scope, error);
        if (error) return APMPUndefined();
    }
    if (!accumulator) return fail(error, kAPMPErrorReduceEmptyArray);
    return accumulator;
}

APMPValueRef reverse(APMPArrayValue& array, const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 0, error)) return APMPUndefined();
    array.reverse();
    return APMPValueRef(&array);
}

// A relative position: negative counts from the end; clamped to lower..length.
double relativePosition(double position, double length, double lower) {
    if (position < 0) position += length;
    return std::min(std::max(position, lower), length);
}

APMPValueRef slice(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 2, error)) return APMPUndefined();
    const double length = static_cast<double>(array.count());
    const double start = relativePosition(integerArgument(arguments, 0, 0, error), length, 0);
    if (error) return APMPUndefined();
    const double end = relativePosition(integerArgument(arguments, 1, length, error), length, start);
    if (error || !APMPChargeAllocation(scope, static_cast<std::size_t>(end - start) * sizeof(APMPValueRef), error)) {
        return APMPUndefined();
    }
    return APMPObjectManager::subarrayWithArray(array, start, end - start, scope);
}

APMPValueRef sort(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 1, error)) return APMPUndefined();
    if (array.count() < 2) return APMPValueRef(&array);
    APMPFunctionValue* compare = nullptr;
    if (!arguments.empty()) {
        if (!arguments[0]->isFunction()) return fail(error, kAPMPErrorArgumentKind);
        compare = &asFunction(arguments[0]);
    }
    if (!array.sortUsingFunctionValue(compare, scope, error)) return APMPUndefined();
    return APMPValueRef(&array);
}

APMPValueRef splice(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (arguments.empty()) return APMPObjectManager::arrayValueWithScope(scope);
    const double length = static_cast<double>(array.count());
    const double start = relativePosition(integerArgument(arguments, 0, 0, error), length, 0);
    if (error) return APMPUndefined();
    double deleteCount = length - start;
    if (arguments.size() > 1) {
        deleteCount = std::min(std::max(integerArgument(arguments, 1, 0, error), 0.0), length - start);
        if (error) return APMPUndefined();
    }
    const APMPValueList inserted(arguments.begin() + std::min<std::ptrdiff_t>(2, std::ssize(arguments)),
                                 arguments.end());
    APMPValueList removed = array.spliceFrom(start, deleteCount, inserted, error);
    if (error) return APMPUndefined();
    return APMPObjectManager::arrayValueWithArray(std::move(removed), scope);
}

APMPValueRef toString(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 0, error)) return APMPUndefined();
    auto text = array.stringValueOrError(error);
    if (error) return APMPUndefined();
    return APMPNewString(std::move(text), scope, error);
}

APMPValueRef concat(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope, ScriptError& error) {
    Ref<APMPArrayValue> joined = APMPObjectManager::arrayValueWithArray(array.slots(), scope);
    if (!APMPChargeAllocation(scope, array.count() * sizeof(APMPValueRef), error)) return APMPUndefined();
    for (const auto& argument : arguments) {
        if (!joined->concat(argument, error)) return APMPUndefined();
    }
    return joined;
}

}  // namespace

const APMPArrayCommandEvaluator& APMPArrayCommandEvaluator::sharedInstance() {
    static const APMPArrayCommandEvaluator instance;
    return instance;
}

APMPArrayCommandEvaluator::APMPArrayCommandEvaluator()
    : _handlers{
          {u"concat", concat},
          {u"every", every},
          {u"filter", filter},
          {u"forEach", forEach},
          {u"hasOwnProperty", hasOwnProperty},
          {u"indexOf", indexOf},
          {u"join", join},
          {u"lastIndexOf", lastIndexOf},
          {u"map", map},
          {u"pop", pop},
          {u"push", push},
          {u"reduce", fold<false>},
          {u"reduceRight", fold<true>},
          {u"reverse", reverse},
          {u"shift", shift},
          {u"slice", slice},
          {u"some", some},
          {u"sort", sort},
          {u"splice", splice},
          {u"toString", toString},
          {u"unshift", unshift},
      } {}

APMPValueRef APMPArrayCommandEvaluator::evaluateCommand(const std::u16string& name, APMPArrayValue& array,
                                                        const APMPValueList& arguments, APMPScope& scope,
                                                        ScriptError& error) const {
    return dispatchMethod(handlerFor(name), array, arguments, scope, error);
}

APMPArrayCommandEvaluator::Handler APMPArrayCommandEvaluator::handlerFor(const std::u16string& name) const {
    const auto it = _handlers.find(name);
    return it == _handlers.end() ? nullptr : it->second;
}

}  // namespace measurement
