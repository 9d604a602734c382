// Array values: elements, length and string form.
#include <algorithm>
#include <cmath>
#include <optional>

#include "measurement/script/command_families.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/object_values.h"
#include "measurement/script/runtime_helpers.h"
#include "measurement/script/script_string.h"

namespace measurement {

namespace {

// Arrays whose string form is being built on this thread: a cycle
// contributes the empty string instead of recursing for ever.
thread_local std::vector<const APMPArrayValue*> arraysBeingJoined;

}  // namespace

APMPArrayValue::APMPArrayValue(APMPValueList elements)
    : APMPCollectableValue(APMPValueKind::Array), _elements(std::move(elements)) {}

bool APMPArrayValue::reserveSlots(std::size_t newCount, ScriptError& error) const {
    if (newCount > limits().maxArrayLength) {
        error.fail(kAPMPErrorInvalidArrayLength);
        return false;
    }
    if (newCount <= _elements.size()) return true;
    return chargeAllocation((newCount - _elements.size()) * sizeof(APMPValueRef), error);
}

std::u16string APMPArrayValue::stringValueWithSeparator(const std::u16string& separator, ScriptError& error) const {
    if (_elements.empty()) return {};
    if (std::find(arraysBeingJoined.begin(), arraysBeingJoined.end(), this) != arraysBeingJoined.end()) return {};
    if (arraysBeingJoined.size() >= static_cast<std::size_t>(kAPMPMaxDataDepth)) {
        error.fail(kAPMPErrorBudgetExhausted);
        return {};
    }
    arraysBeingJoined.push_back(this);
    std::u16string out;
    std::size_t charged = 0;
    for (std::size_t i = 0; i < _elements.size(); ++i) {
        if (i > 0) out += separator;
        const APMPValueRef& element = _elements[i];
        if (!element.isHole() && !element.isNullOrUndefined()) {
            out += element.stringValueOrError(error);
            if (error) break;
        }
        if (out.size() - charged >= 4096) {
            if (!chargeAllocation((out.size() - charged) * sizeof(char16_t), error)) break;
            charged = out.size();
        }
    }
    if (!error) chargeAllocation((out.size() - charged) * sizeof(char16_t), error);
    arraysBeingJoined.pop_back();
    if (error) return {};
    return out;
}

std::u16string APMPArrayValue::stringValueOrError(ScriptError& error) const {
    return stringValueWithSeparator(u",", error);
}

double APMPArrayValue::doubleValueOrError(ScriptError& error) const {
    const auto text = stringValueOrError(error);
    if (error) return std::nan("");
    return parseScriptNumber(text);
}

APMPValueRef APMPArrayValue::applyWithName(const std::u16string& name, const APMPValueList& arguments,
                                           APMPScope& scope, ScriptError& error) {
    APMPValueRef result;
    if (invokeOwnFunction(APMPName(name), arguments, scope, error, result)) return result;
    return APMPArrayCommandEvaluator::sharedInstance().evaluateCommand(name, *this, arguments, scope, error);
}

namespace {

bool isLengthKey(const APMPValueRef& key) {
    return key.isString() && valueAs<APMPStringValue>(key).value() == u"length";
}

// A key names an element (an array index) or a property. Every key is
// converted to its string form first, which fails for values that have
// none; a number's form cannot fail and is only made when the number names
// a property, so element access by number formats nothing.
struct ArrayKey {
    std::optional<double> index;
    std::u16string name;
};

bool resolveKey(const APMPValueRef& key, ArrayKey& resolved, ScriptError& error) {
    if (!key.isNumber()) {
        resolved.name = key.stringValueOrError(error);
        if (error) return false;
    }
    double index = 0;
    if (APMPIsArrayIndex(key, &index)) {
        resolved.index = index;
    } else if (key.isNumber()) {
        resolved.name = formatScriptNumber(key.numberValue());
    }
    return true;
}

}  // namespace

bool APMPArrayValue::hasProperty(const APMPValueRef& key, ScriptError& error) const {
    ArrayKey resolved;
    if (!resolveKey(key, resolved, error)) return false;
    if (!resolved.index) return _propertyMap.hasName(resolved.name);
    const double index = *resolved.index;
    return index < static_cast<double>(_elements.size()) && !_elements[static_cast<std::size_t>(index)]->isHole();
}

APMPValueRef APMPArrayValue::valueForProperty(const APMPValueRef& key, ScriptError& error) const {
    if (isLengthKey(key)) return APMPNumber(static_cast<double>(_elements.size()));
    ArrayKey resolved;
    if (!resolveKey(key, resolved, error)) return APMPUndefined();
    if (!resolved.index) return _propertyMap.valueForName(resolved.name);
    const double index = *resolved.index;
    if (index >= static_cast<double>(_elements.size())) return APMPUndefined();
    const APMPValueRef& element = _elements[static_cast<std::size_t>(index)];
    return element->isHole() ? APMPUndefined() : element;
}

bool APMPArrayValue::setLength(double length, ScriptError& error) {
    // Tested as a double: a length beyond the cap need not fit a size.
    if (!(length >= 0) || std::trunc(length) != length || length > static_cast<double>(limits().maxArrayLength)) {
        error.fail(kAPMPErrorInvalidArrayLength);
        return false;
    }
    const auto n = static_cast<std::size_t>(length);
    if (!reserveSlots(n, error)) return false;
    _elements.resize(n, APMPValueRef(APMPHole()));
    return true;
}

bool APMPArrayValue::setValue(APMPValueRef value, const APMPValueRef& key, ScriptError& error) {
    if (isLengthKey(key)) {
        double length = 0;
        if (!APMPIsArrayIndex(value, &length)) {
            error.fail(kAPMPErrorInvalidArrayLength);
            return false;
        }
        return setLength(length, error);
    }
    ArrayKey resolved;
    if (!resolveKey(key, resolved, error)) return false;
    if (resolved.index) {
        const double index = *resolved.index;
        if (index >= static_cast<double>(_elements.size()) && !setLength(index + 1, error)) return false;
        _elements[static_cast<std::size_t>(index)] = std::move(value);
        return true;
    }
    const auto& name = resolved.name;
    if (!_propertyMap.hasName(name) && !chargeAllocation(name.size() * sizeof(char16_t) + 64, error)) return false;
    _propertyMap.setValue(std::move(value), name);
    return true;
}

bool APMPArrayValue::removeValueForProperty(const APMPValueRef& key, ScriptError& error) {
    ArrayKey resolved;
    if (!resolveKey(key, resolved, error)) return false;
    if (!resolved.index) {
        _propertyMap.removeValueForName(resolved.name);
    } else if (*resolved.index < static_cast<double>(_elements.size())) {
        _elements[static_cast<std::size_t>(*resolved.index)] = APMPHole();
    }
    return true;
}

APMPValueList APMPArrayValue::allPropertyNames() const {
    APMPValueList names;
    _propertyMap.appendNames(names);
    for (std::size_t i = 0; i < _elements.size(); ++i) {
        if (!_elements[i]->isHole()) names.push_back(APMPString(formatScriptNumber(static_cast<double>(i))));
    }
    return names;
}

APMPValueList APMPArrayValue::allElements() const {
    APMPValueList elements = _elements;
    for (auto& element : elements) {
        if (element->isHole()) element = APMPUndefined();
    }
    return elements;
}

Ref<APMPArrayValue> APMPArrayValue::subarrayWithRange(double start, double length) const {
    const std::size_t from = APMPClampToSize(start, _elements.size());
    const std::size_t n = APMPClampToSize(length, _elements.size() - from);
    const auto begin = _elements.begin() + static_cast<std::ptrdiff_t>(from);
    return makeRef<APMPArrayValue>(APMPValueList(begin, begin + static_cast<std::ptrdiff_t>(n)));
}

APMPValueList APMPArrayValue::spliceFrom(double start, double deleteCount, const APMPValueList& addValues,
                                         ScriptError& error) {
    const std::size_t from = APMPClampToSize(start, _elements.size());
    const std::size_t n = APMPClampToSize(deleteCount, _elements.size() - from);
    if (!reserveSlots(_elements.size() - n + addValues.size(), error)) return {};
    const auto begin = _elements.begin() + static_cast<std::ptrdiff_t>(from);
    APMPValueList removed(begin, begin + static_cast<std::ptrdiff_t>(n));
    _elements.erase(begin, begin + static_cast<std::ptrdiff_t>(n));
    _elements.insert(_elements.begin() + static_cast<std::ptrdiff_t>(from), addValues.begin(), addValues.end());
    return removed;
}

bool APMPArrayValue::concat(const APMPValueRef& value, ScriptError& error) {
    if (value.isControl()) {
        error.fail(kAPMPErrorArgumentKind);
        return false;
    }
    if (value.isArray()) {
        const APMPValueList slots = valueAs<APMPArrayValue>(value).slots();
        if (!reserveSlots(_elements.size() + slots.size(), error)) return false;
        _elements.insert(_elements.end(), slots.begin(), slots.end());
        return true;
    }
    if (!reserveSlots(_elements.size() + 1, error)) return false;
    _elements.push_back(value);
    return true;
}

void APMPArrayValue::reverse() { std::reverse(_elements.begin(), _elements.end()); }

APMPValueRef APMPArrayValue::removeFirstElement() {
    if (_elements.empty()) return APMPUndefined();
    APMPValueRef first = std::move(_elements.front());
    _elements.erase(_elements.begin());
    return first;
}

APMPValueRef APMPArrayValue::removeLastElement() {
    if (_elements.empty()) return APMPUndefined();
    APMPValueRef last = std::move(_elements.back());
    _elements.pop_back();
    return last;
}

std::size_t APMPArrayValue::appendElements(const APMPValueList& values, ScriptError& error) {
    if (reserveSlots(_elements.size() + values.size(), error)) {
        _elements.insert(_elements.end(), values.begin(), values.end());
    }
    return _elements.size();
}

std::size_t APMPArrayValue::prependElements(const APMPValueList& values, ScriptError& error) {
    if (reserveSlots(_elements.size() + values.size(), error)) {
        _elements.insert(_elements.begin(), values.begin(), values.end());
    }
    return _elements.size();
}

long APMPArrayValue::indexOfValue(const APMPValueRef& value, double fromIndex, ScriptError& error) const {
    for (std::size_t i = APMPClampToSize(fromIndex, _elements.size()); i < _elements.size(); ++i) {
        const bool equal = APMPStrictEquals(_elements[i], value, error);
        if (error) return -1;
        if (equal) return static_cast<long>(i);
    }
    return -1;
}

long APMPArrayValue::lastIndexOfValue(const APMPValueRef& value, double fromIndex, ScriptError& error) const {
    if (_elements.empty() || !(fromIndex >= 0)) return -1;
    std::size_t i = APMPClampToSize(fromIndex, _elements.size() - 1);
    for (;; --i) {
        const bool equal = APMPStrictEquals(_elements[i], value, error);
        if (error) return -1;
        if (equal) return static_cast<long>(i);
        if (i == 0) return -1;
    }
}

namespace {

// The sort order: holes last, then undefined, then the comparison function
// or the ordinal order of string forms. After the first error every pair
// compares equal and the error is reported once the sort ends.
class SortOrder {
public:
    SortOrder(APMPFunctionValue* compare, APMPScope& scope, ScriptError& error)
        : compare_(compare), scope_(scope), error_(error) {}

    // Whether b must come before a (a stable merge keeps equal pairs).
    bool before(const APMPValueRef& b, const APMPValueRef& a) {
        if (error_) return false;
        if (a->isHole() || b->isHole()) return a->isHole() && !b->isHole();
        if (a->isUndefined() || b->isUndefined()) return a->isUndefined() && !b->isUndefined();
        if (compare_) {
            arguments_.list().assign({a, b});
            APMPValueRef result = compare_->invokeWithArguments(arguments_.list(), scope_, error_);
            if (error_) return false;
            const double order = result->doubleValueOrError(error_);
            return !error_ && order > 0;
        }
        const auto x = a->stringValueOrError(error_);
        if (error_) return false;
        const auto y = b->stringValueOrError(error_);
        return !error_ && y < x;
    }

private:
    APMPFunctionValue* compare_;
    APMPScope& scope_;
    ScriptError& error_;
    APMPArgumentList arguments_;
};

// A bottom-up merge sort: safe with comparison functions that are not
// consistent (a script's comparator may answer anything).
void mergeSort(APMPValueList& items, SortOrder& order) {
    APMPValueList buffer(items.size());
    for (std::size_t width = 1; width < items.size(); width *= 2) {
        for (std::size_t left = 0; left < items.size(); left += 2 * width) {
            const std::size_t mid = std::min(left + width, items.size());
            const std::size_t right = std::min(left + 2 * width, items.size());
            std::size_t i = left, j = mid, k = left;
            while (i < mid && j < right) buffer[k++] = order.before(items[j], items[i]) ? items[j++] : items[i++];
            while (i < mid) buffer[k++] = items[i++];
            while (j < right) buffer[k++] = items[j++];
        }
        items.swap(buffer);
    }
}

}  // namespace

bool APMPArrayValue::sortUsingFunctionValue(APMPFunctionValue* compare, APMPScope& scope, ScriptError& error) {
    // Sorted as a copy: the comparator may change the array while it runs.
    APMPValueList items = _elements;
    SortOrder order(compare, scope, error);
    mergeSort(items, order);
    _elements = std::move(items);
    return !error;
}

void APMPArrayValue::markChildren(std::vector<APMPMarkable*>& work) {
    APMPCollectableValue::markChildren(work);
    for (const auto& element : _elements) {
        if (APMPRuntimeValue* object = element.get()) work.push_back(object);
    }
}

void APMPArrayValue::releaseContents() {
    APMPCollectableValue::releaseContents();
    auto elements = std::move(_elements);
    _elements.clear();
}

}  // namespace measurement
