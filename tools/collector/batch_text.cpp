// Value tree of a batch -> text for a person.
#include <array>
#include <charconv>
#include <cstdio>
#include <sstream>

#include "tools/collector/batch_description.h"
#include "tools/collector/bundle_field_labels.h"

namespace tools::collector {

namespace {

using platform::Value;

std::string pad(int depth) {
    return std::string(static_cast<std::size_t>(depth) * 2, ' ');
}

// Control characters would reshape the output; they are shown escaped.
std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7f) {
            std::array<char, 8> hex{};
            std::snprintf(hex.data(), hex.size(), "\\x%02x", byte);
            out += hex.data();
        } else {
            out += c;
        }
    }
    return out;
}

std::string quoted(const std::string& text) {
    std::string out;
    for (const char c : escaped(text)) {
        if (c == '"') out += '\\';
        out += c;
    }
    return '"' + out + '"';
}

std::string numberText(double value) {
    std::array<char, 32> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
    return std::string(text.data(), result.ptr);
}

std::string scalarText(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Bool: return value.boolValue() ? "true" : "false";
        case Value::Kind::Int: return std::to_string(value.intValue());
        case Value::Kind::Real: return numberText(value.realValue());
        case Value::Kind::String: return escaped(value.asString());
        default: return "?";
    }
}

std::string timeText(const Value& time) {
    if (const Value* utc = time.find("utc")) return utc->asString();
    return std::to_string(time["millis"].intValue()) + " ms since 1970";
}

std::string trackingStatusText(const Value& status) {
    static constexpr std::array<const char*, 6> kNames = {"restricted",     "denied",      "authorized",
                                                          "not determined", "unavailable", "unknown"};
    const std::int64_t code = status.intValue();
    if (code < 1 || code > static_cast<std::int64_t>(kNames.size())) return std::to_string(code);
    return std::to_string(code) + " (" + kNames[static_cast<std::size_t>(code - 1)] + ")";
}

std::string listText(const Value& list, bool quote) {
    std::string out;
    for (const auto& item : list.asArray()) {
        if (!out.empty()) out += ", ";
        out += quote ? quoted(item.stringValue()) : scalarText(item);
    }
    return out;
}

std::string fieldText(const BundleField& field, const Value& value) {
    switch (field.kind) {
        case BundleFieldKind::Time: return timeText(value);
        case BundleFieldKind::TrackingStatus: return trackingStatusText(value);
        case BundleFieldKind::StringList: return listText(value, true);
        case BundleFieldKind::Int32List: return listText(value, false);
        default: return scalarText(value);
    }
}

// Any nested value, key by key: for the records a person rarely reads
// closely (audience results).
void writeTree(std::ostream& out, const Value& value, int depth) {
    for (const auto& [key, item] : value.asDictionary()) {
        out << pad(depth) << key << ':';
        if (item.isDictionary()) {
            out << '\n';
            writeTree(out, item, depth + 1);
        } else if (item.isArray() && !item.asArray().empty() && item.asArray().front().isDictionary()) {
            out << '\n';
            for (const auto& element : item.asArray()) {
                out << pad(depth + 1) << "-\n";
                writeTree(out, element, depth + 2);
            }
        } else {
            out << ' ' << (item.isArray() ? listText(item, false) : scalarText(item)) << '\n';
        }
    }
}

std::string nameText(const Value& record) {
    const Value* name = record.find("name");
    return name ? escaped(name->asString()) : "(no name)";
}

// The typed value of a parameter or user property; lists are written by
// the caller.
std::string typedValueText(const Value& record) {
    if (const Value* text = record.find("string")) return quoted(text->asString());
    if (const Value* number = record.find("int")) return std::to_string(number->intValue()) + " (int)";
    if (const Value* number = record.find("double")) return numberText(number->realValue()) + " (double)";
    return "(no value)";
}

void writeParameters(std::ostream& out, const Value& parameters, int depth);

void writeParameter(std::ostream& out, const Value& parameter, int depth) {
    out << pad(depth) << nameText(parameter) << " = ";
    const Value* list = parameter.find("list");
    if (!list) {
        out << typedValueText(parameter) << '\n';
        return;
    }
    const auto& dictionaries = list->asArray();
    out << "list of " << dictionaries.size() << (dictionaries.size() == 1 ? " dictionary" : " dictionaries") << '\n';
    for (std::size_t i = 0; i < dictionaries.size(); ++i) {
        out << pad(depth + 1) << '[' << i << "]\n";
        writeParameters(out, dictionaries[i], depth + 2);
    }
}

void writeParameters(std::ostream& out, const Value& parameters, int depth) {
    for (const auto& parameter : parameters.asArray()) writeParameter(out, parameter, depth);
}

void writeEvent(std::ostream& out, const Value& event, int depth) {
    out << pad(depth) << nameText(event);
    if (const Value* time = event.find("time")) out << " at " << timeText(*time);
    if (const Value* previous = event.find("previous_time")) out << ", previous " << timeText(*previous);
    out << '\n';
    writeParameters(out, event["params"], depth + 1);
}

void writeUserProperty(std::ostream& out, const Value& property, int depth) {
    out << pad(depth) << nameText(property) << " = " << typedValueText(property);
    if (const Value* set = property.find("set_time")) out << ", set " << timeText(*set);
    out << '\n';
}

// "events (2):" followed by the records, or nothing for an empty list.
template <class Write>
void writeSection(std::ostream& out, const char* title, const Value* list, Write write) {
    if (!list || list->asArray().empty()) return;
    out << pad(1) << title << " (" << list->asArray().size() << "):\n";
    for (const auto& record : list->asArray()) write(out, record, 2);
}

void writeBundle(std::ostream& out, const Value& bundle, std::size_t position, std::size_t count) {
    out << "bundle " << position << " of " << count << '\n';
    for (const auto& field : kBundleFields) {
        if (const Value* value = bundle.find(field.key)) {
            out << pad(1) << field.label << ": " << fieldText(field, *value) << '\n';
        }
    }
    writeSection(out, "audience results", bundle.find("audience_results"), [](auto& o, const Value& r, int d) {
        o << pad(d) << "-\n";
        writeTree(o, r, d + 1);
    });
    writeSection(out, "user properties", bundle.find("user_properties"), writeUserProperty);
    writeSection(out, "events", bundle.find("events"), writeEvent);
}

}  // namespace

std::string batchText(const Value& batch) {
    std::ostringstream out;
    const Value* list = batch.find("bundles");
    if (!list || !list->isArray()) return {};
    const auto& bundles = list->asArray();
    for (std::size_t i = 0; i < bundles.size(); ++i) writeBundle(out, bundles[i], i + 1, bundles.size());
    return out.str();
}

}  // namespace tools::collector
