// Value tree of a batch -> text for a person.
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <sstream>

#include "tools/collector/batch_description.h"
#include "tools/collector/bundle_field_labels.h"
#include "tools/collector/printable_text.h"
#include "tools/collector/time_format.h"

namespace tools::collector {

namespace {

using platform::Value;

std::string pad(int depth) {
    return std::string(static_cast<std::size_t>(depth) * 2, ' ');
}

// Control characters would reshape the output; they are shown escaped.
std::string escaped(const std::string& text) { return printable(text); }

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

// Seconds since 1970 as ISO-8601, as audience results store their times.
std::string secondsText(const Value& seconds) {
    const std::int64_t value = seconds.intValue();
    constexpr std::int64_t kLimit = INT64_MAX / 1000;
    const auto iso = value > -kLimit && value < kLimit ? isoTimeFromMillis(value * 1000) : std::nullopt;
    return iso ? *iso : std::to_string(value) + " s since 1970";
}

std::string filterList(const Value* list) {
    return list && !list->asArray().empty() ? listText(*list, false) : "none";
}

// "true 2; false 0, 64", and the times the result keeps.
void writeResultData(std::ostream& out, const char* label, const Value& data, int depth) {
    out << pad(depth) << label << ": true " << filterList(data.find("true_filters")) << "; false "
        << filterList(data.find("false_filters")) << '\n';
    if (const Value* dynamic = data.find("dynamic_filter_timestamps")) {
        for (const auto& entry : dynamic->asArray()) {
            out << pad(depth + 1) << "filter " << entry["filter_id"].intValue() << " last matched "
                << secondsText(entry["timestamp_seconds"]) << '\n';
        }
    }
    if (const Value* sequences = data.find("sequence_filter_timestamps")) {
        for (const auto& entry : sequences->asArray()) {
            out << pad(depth + 1) << "filter " << entry["filter_id"].intValue() << " matched at ";
            const Value* times = entry.find("timestamps_seconds");
            std::string list;
            for (const auto& time : times ? times->asArray() : Value::Array{}) {
                list += (list.empty() ? "" : ", ") + secondsText(time);
            }
            out << (list.empty() ? "no time" : list) << '\n';
        }
    }
}

// One audience: whether it is reported for the first time or changed, then
// its results now and as last reported.
void writeAudienceResult(std::ostream& out, const Value& result, int depth) {
    out << pad(depth) << "audience " << result["audience_id"].intValue();
    const Value* previous = result.find("previous_data");
    if (result["new_audience"].boolValue()) {
        out << ", first report";
    } else {
        out << (previous ? ", changed since the last report" : ", unchanged since the last report");
    }
    out << '\n';
    if (const Value* current = result.find("current_data")) writeResultData(out, "now", *current, depth + 1);
    if (previous) writeResultData(out, "before", *previous, depth + 1);
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
    writeSection(out, "audience results", bundle.find("audience_results"), writeAudienceResult);
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
