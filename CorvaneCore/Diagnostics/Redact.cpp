// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Diagnostics/Redact.hpp"

#include <algorithm>

namespace corvane::Redact {

namespace {

bool isRedacted(std::string_view key) {
    return std::find(redactedKeys.begin(), redactedKeys.end(), key) != redactedKeys.end();
}

}  // namespace

JSONValue secrets(const JSONValue& value) {
    if (const auto* object = value.object()) {
        JSONObject out;
        out.reserve(object->size());
        for (const auto& [key, member] : *object) {
            out.set(key, isRedacted(key) ? JSONValue(marker) : secrets(member));
        }
        return out;
    }
    if (const auto* array = value.array()) {
        JSONValue::Array out;
        out.reserve(array->size());
        for (const auto& element : *array) out.push_back(secrets(element));
        return out;
    }
    return value;
}

std::optional<std::string> configSnapshot(std::string_view json) {
    JSONValue parsed;
    try {
        parsed = JSONValue::parse(json);
    } catch (const JSONError&) {
        return std::nullopt;
    }
    return secrets(parsed).serialize();
}

}  // namespace corvane::Redact
