// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Support/JSONValue.hpp"

#include <algorithm>
#include <cmath>

#include <boost/json/value.hpp>

#include "CorvaneCore/Support/JSONReader.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"

namespace corvane {

JSONObject::JSONObject(std::initializer_list<Entry> entries) {
    entries_.reserve(entries.size());
    for (const auto& e : entries) set(e.first, e.second);
}

JSONValue& JSONObject::operator[](std::string_view key) {
    if (auto* v = find(key)) return *v;
    entries_.emplace_back(std::string(key), JSONValue());
    return entries_.back().second;
}

void JSONObject::set(std::string_view key, JSONValue value) {
    if (auto* v = find(key)) {
        *v = std::move(value);
    } else {
        entries_.emplace_back(std::string(key), std::move(value));
    }
}

const JSONValue* JSONObject::find(std::string_view key) const {
    for (const auto& e : entries_) {
        if (e.first == key) return &e.second;
    }
    return nullptr;
}

JSONValue* JSONObject::find(std::string_view key) {
    return const_cast<JSONValue*>(std::as_const(*this).find(key));
}

bool JSONObject::erase(std::string_view key) {
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.first == key; });
    if (it == entries_.end()) return false;
    entries_.erase(it);
    return true;
}

bool operator==(const JSONObject& a, const JSONObject& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [key, value] : a) {
        const JSONValue* other = b.find(key);
        if (!other || !(*other == value)) return false;
    }
    return true;
}

JSONValue::Kind JSONValue::kind() const noexcept {
    switch (storage_.index()) {
    case 0: return Kind::boolean;
    case 1: return Kind::number;
    case 2: return Kind::string;
    case 3: return Kind::array;
    case 4: return Kind::object;
    default: return Kind::null;
    }
}

JSONValue& JSONValue::operator[](std::string_view key) {
    if (isNull()) storage_ = Object{};
    auto* o = object();
    if (!o) throw JSONError("not an object");
    return (*o)[key];
}

const JSONValue* JSONValue::find(std::string_view key) const {
    const auto* o = object();
    return o ? o->find(key) : nullptr;
}

JSONValue* JSONValue::find(std::string_view key) {
    auto* o = object();
    return o ? o->find(key) : nullptr;
}

JSONValue JSONValue::fromBoost(const boost::json::value& v) {
    switch (v.kind()) {
    case boost::json::kind::null: return JSONValue();
    case boost::json::kind::bool_: return JSONValue(v.get_bool());
    case boost::json::kind::int64: return JSONValue(static_cast<double>(v.get_int64()));
    case boost::json::kind::uint64: return JSONValue(static_cast<double>(v.get_uint64()));
    case boost::json::kind::double_:
        // Written back, an infinity would become null: refuse it where it comes in.
        if (!std::isfinite(v.get_double())) throw JSONError("a number is beyond the range of a double");
        return JSONValue(v.get_double());
    case boost::json::kind::string: return JSONValue(std::string(v.get_string()));
    case boost::json::kind::array: {
        Array a;
        a.reserve(v.get_array().size());
        for (const auto& e : v.get_array()) a.push_back(fromBoost(e));
        return JSONValue(std::move(a));
    }
    case boost::json::kind::object: {
        Object o;
        o.reserve(v.get_object().size());
        for (const auto& kv : v.get_object()) o.set(kv.key(), fromBoost(kv.value()));
        return JSONValue(std::move(o));
    }
    }
    throw JSONError("unrepresentable JSON value");
}

boost::json::value JSONValue::toBoost() const {
    switch (kind()) {
    case Kind::null: return nullptr;
    case Kind::boolean: return *boolValue();
    case Kind::number: {
        double n = *number();
        if (std::trunc(n) == n && std::fabs(n) < 9007199254740992.0) return static_cast<std::int64_t>(n);
        return n;
    }
    case Kind::string: return boost::json::string(*string());
    case Kind::array: {
        boost::json::array a;
        a.reserve(array()->size());
        for (const auto& e : *array()) a.push_back(e.toBoost());
        return a;
    }
    case Kind::object: {
        boost::json::object o;
        o.reserve(object()->size());
        for (const auto& [k, v] : *object()) o.insert_or_assign(k, v.toBoost());
        return o;
    }
    }
    return nullptr;
}

JSONValue JSONValue::parse(std::string_view text) {
    boost::system::error_code ec;
    boost::json::value v = readJSON(text, ec);
    if (ec) throw JSONError("the text is not valid JSON: " + ec.message());
    return fromBoost(v);
}

std::string JSONValue::serialize(int indent) const {
    return toJSONText(toBoost(), indent);
}

}  // namespace corvane
