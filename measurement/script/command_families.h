#pragma once

// The command families and their registration by code.

#include <string>
#include <unordered_map>

#include "measurement/script/evaluator.h"
#include "measurement/script/object_values.h"

namespace measurement {

// The seven command families, registered in this order by the registrar.
class APMPBitwiseCommandEvaluator final : public APMPCommandFamily {
public:
    APMPBitwiseCommandEvaluator();
};

// Every comparison takes exactly two arguments, checked before evaluation.
class APMPComparisonCommandEvaluator final : public APMPCommandFamily {
public:
    APMPComparisonCommandEvaluator();
};

class APMPControlCommandEvaluator final : public APMPCommandFamily {
public:
    APMPControlCommandEvaluator();
};

class APMPLogicalCommandEvaluator final : public APMPCommandFamily {
public:
    APMPLogicalCommandEvaluator();
};

class APMPLoopCommandEvaluator final : public APMPCommandFamily {
public:
    APMPLoopCommandEvaluator();
};

class APMPMathCommandEvaluator final : public APMPCommandFamily {
public:
    APMPMathCommandEvaluator();
};

class APMPVariableCommandEvaluator final : public APMPCommandFamily {
public:
    APMPVariableCommandEvaluator();
};

// The method table of arrays: a method call whose name the array has no own
// property of. Arguments are evaluated first.
class APMPArrayCommandEvaluator {
public:
    using Handler = APMPValueRef (*)(APMPArrayValue& array, const APMPValueList& arguments, APMPScope& scope,
                                     ScriptError& error);
    static const APMPArrayCommandEvaluator& sharedInstance();
    APMPValueRef evaluateCommand(const std::u16string& name, APMPArrayValue& array, const APMPValueList& arguments,
                                 APMPScope& scope, ScriptError& error) const;
    // The handler of a method name, or nullptr.
    Handler handlerFor(const std::u16string& name) const;

private:
    APMPArrayCommandEvaluator();
    std::unordered_map<std::u16string, Handler> _handlers;
};

// The method table of strings; handlers receive the receiver's text.
class APMPStringCommandEvaluator {
public:
    using Handler = APMPValueRef (*)(const std::u16string& string, const APMPValueList& arguments,
                                     APMPScope& scope, ScriptError& error);
    static const APMPStringCommandEvaluator& sharedInstance();
    APMPValueRef evaluateCommand(const std::u16string& name, const std::u16string& string,
                                 const APMPValueList& arguments, APMPScope& scope, ScriptError& error) const;
    // The handler of a method name, or nullptr.
    Handler handlerFor(const std::u16string& name) const;

private:
    APMPStringCommandEvaluator();
    std::unordered_map<std::u16string, Handler> _handlers;
};

}  // namespace measurement
