// Runs a program and writes its value, for tests and the tool.
#include "measurement/script/text/script_runner.h"

#include <algorithm>

#include "measurement/script/entity_converter.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/program_decoder.h"
#include "measurement/script/script_string.h"
#include "measurement/script/text/program_text.h"

namespace measurement::script_text {

namespace {

void appendQuoted(std::string& out, const std::u16string& text) { out += quoteText(utf8FromUTF16(text)); }

class Describer {
public:
    void describe(const APMPValueRef& value, std::string& out) {
        switch (value.kind()) {
            case APMPValueKind::Hole: out += "<hole>"; return;
            case APMPValueKind::Undefined: out += "undefined"; return;
            case APMPValueKind::Null: out += "null"; return;
            case APMPValueKind::Boolean:
                out += valueAs<APMPBooleanValue>(value).value() ? "true" : "false";
                return;
            case APMPValueKind::Number:
                out += utf8FromUTF16(formatScriptNumber(value.numberValue()));
                return;
            case APMPValueKind::String: appendQuoted(out, valueAs<APMPStringValue>(value).value()); return;
            case APMPValueKind::Function:
                out += "<function " + utf8FromUTF16(valueAs<APMPFunctionValue>(value).functionName()) + ">";
                return;
            case APMPValueKind::Statement:
                out += "<statement " + utf8FromUTF16(valueAs<APMPStatementValue>(value).functionName()) + ">";
                return;
            case APMPValueKind::Control: {
                const auto& control = valueAs<APMPControlValue>(value);
                out += "<" + utf8FromUTF16(control.typeName());
                if (control.type() == APMPControlValue::Type::Return) {
                    out += ' ';
                    describe(control.data(), out);
                }
                out += ">";
                return;
            }
            case APMPValueKind::Array:
            case APMPValueKind::Map:
                break;
        }
        if (std::find(open_.begin(), open_.end(), value.get()) != open_.end() || open_.size() > 200) {
            out += "<cycle>";
            return;
        }
        open_.push_back(value.get());
        if (value.isArray()) {
            out += '[';
            const auto& slots = valueAs<APMPArrayValue>(value).slots();
            for (std::size_t i = 0; i < slots.size(); ++i) {
                if (i) out += ',';
                describe(slots[i], out);
            }
            out += ']';
        } else {
            out += '{';
            const auto& map = valueAs<APMPMapValue>(value);
            bool first = true;
            for (const auto& name : map.allPropertyNames()) {
                if (!first) out += ',';
                first = false;
                appendQuoted(out, name);
                out += ':';
                describe(map.valueForProperty(name), out);
            }
            out += '}';
        }
        open_.pop_back();
    }

private:
    std::vector<const APMPRuntimeValue*> open_;
};

}  // namespace

std::string describeValue(const APMPValueRef& value) {
    std::string out;
    Describer().describe(value, out);
    return out;
}

RunResult runProgramBytes(APMPRuntime& runtime, const std::vector<std::uint8_t>& bytes) {
    RunResult result;
    runtime.resetInstructionCount();
    const auto decoded = APMPDecodeProgram(bytes.data(), bytes.size(), result.error, runtime.limits().maxEntityDepth);
    if (!decoded) return result;
    const nano_APMPBProgram& program = *decoded->message();
    result.decodeText = disassemble(program);
    APMPValueRef value = runtime.executeStatements(program.statements, program.statements_count, result.error);
    result.value = describeValue(value);
    result.evaluations = runtime.getInstructionCount();
    return result;
}

RunResult runProgramBytes(const std::vector<std::uint8_t>& bytes, const APMPRuntimeLimits& limits) {
    APMPRuntime runtime(limits);
    return runProgramBytes(runtime, bytes);
}

APMPValueRef evaluateText(APMPScope& scope, std::string_view text, ScriptError& error) {
    const auto assembled = assemble(text);
    if (!assembled.ok()) {
        error.fail(kAPMPErrorUnknownEntity);
        return APMPUndefined();
    }
    const auto bytes = encodeProgram(assembled.program);
    const auto decoded = APMPDecodeProgram(bytes.data(), bytes.size(), error);
    if (!decoded) return APMPUndefined();
    const nano_APMPBProgram& program = *decoded->message();
    APMPValueList statements;
    APMPProgramLiterals literals;
    for (pb_size_t i = 0; i < program.statements_count; ++i) {
        statements.push_back(
            APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(program.statements[i], literals, error));
        if (error) return APMPUndefined();
    }
    return APMPEvaluator::executeStatements(statements, scope, error);
}

RunResult runProgramText(std::string_view text, const APMPRuntimeLimits& limits) {
    const auto assembled = assemble(text);
    if (!assembled.ok()) {
        RunResult result;
        result.assemblyError = assembled.error;
        return result;
    }
    return runProgramBytes(encodeProgram(assembled.program), limits);
}

}  // namespace measurement::script_text
