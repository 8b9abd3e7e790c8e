// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace boost::json {
class value;
}

namespace corvane {

class JSONValue;

// An object that keeps its keys in insertion order, so built documents read
// naturally ("type" and "tag" first). Equality ignores the order.
class JSONObject {
public:
    using Entry = std::pair<std::string, JSONValue>;
    using iterator = std::vector<Entry>::iterator;
    using const_iterator = std::vector<Entry>::const_iterator;

    JSONObject() = default;
    JSONObject(std::initializer_list<Entry> entries);

    // Inserts a null value at the end when the key is new.
    JSONValue& operator[](std::string_view key);
    // Replaces the value of an existing key in place, or appends.
    void set(std::string_view key, JSONValue value);
    const JSONValue* find(std::string_view key) const;
    JSONValue* find(std::string_view key);
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    bool erase(std::string_view key);

    // Defined below JSONValue: the vector's members need its element type complete.
    std::size_t size() const;
    bool empty() const;
    void reserve(std::size_t n);
    iterator begin();
    iterator end();
    const_iterator begin() const;
    const_iterator end() const;

    friend bool operator==(const JSONObject& a, const JSONObject& b);

private:
    std::vector<Entry> entries_;
};

class JSONError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    std::string description() const { return what(); }
};

// A generic JSON tree: the engine configuration and report hint details are built in it.
// Numbers are doubles; whole numbers below 2^53 are written without a fraction.
class JSONValue {
public:
    using Array = std::vector<JSONValue>;
    using Object = JSONObject;
    enum class Kind { boolean, number, string, array, object, null };

    JSONValue() noexcept : storage_(std::monostate{}) {}
    JSONValue(std::nullptr_t) noexcept : storage_(std::monostate{}) {}
    JSONValue(bool b) noexcept : storage_(b) {}
    template <class T>
        requires(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>)
    JSONValue(T n) noexcept : storage_(static_cast<double>(n)) {}
    JSONValue(const char* s) : storage_(std::string(s)) {}
    JSONValue(std::string_view s) : storage_(std::string(s)) {}
    JSONValue(std::string s) noexcept : storage_(std::move(s)) {}
    JSONValue(Array a) noexcept : storage_(std::move(a)) {}
    JSONValue(Object o) noexcept : storage_(std::move(o)) {}

    Kind kind() const noexcept;
    bool isNull() const noexcept { return std::holds_alternative<std::monostate>(storage_); }
    bool isBool() const noexcept { return std::holds_alternative<bool>(storage_); }
    bool isNumber() const noexcept { return std::holds_alternative<double>(storage_); }
    bool isString() const noexcept { return std::holds_alternative<std::string>(storage_); }
    bool isArray() const noexcept { return std::holds_alternative<Array>(storage_); }
    bool isObject() const noexcept { return std::holds_alternative<Object>(storage_); }

    // Typed access: null when the value is of another kind.
    const bool* boolValue() const noexcept { return std::get_if<bool>(&storage_); }
    const double* number() const noexcept { return std::get_if<double>(&storage_); }
    const std::string* string() const noexcept { return std::get_if<std::string>(&storage_); }
    std::string* string() noexcept { return std::get_if<std::string>(&storage_); }
    const Array* array() const noexcept { return std::get_if<Array>(&storage_); }
    Array* array() noexcept { return std::get_if<Array>(&storage_); }
    const Object* object() const noexcept { return std::get_if<Object>(&storage_); }
    Object* object() noexcept { return std::get_if<Object>(&storage_); }

    // Object member access; a null value becomes an empty object first.
    JSONValue& operator[](std::string_view key);
    // Member lookup; null when this is not an object or the key is absent.
    const JSONValue* find(std::string_view key) const;
    JSONValue* find(std::string_view key);

    friend bool operator==(const JSONValue& a, const JSONValue& b) { return a.storage_ == b.storage_; }

    // Throws JSONError for text that is not JSON.
    static JSONValue parse(std::string_view text);
    // Compact by default; indent > 0 writes one member per line.
    std::string serialize(int indent = 0) const;

    static JSONValue fromBoost(const boost::json::value& v);
    boost::json::value toBoost() const;

private:
    std::variant<bool, double, std::string, Array, Object, std::monostate> storage_;
};

inline std::size_t JSONObject::size() const { return entries_.size(); }
inline bool JSONObject::empty() const { return entries_.empty(); }
inline void JSONObject::reserve(std::size_t n) { entries_.reserve(n); }
inline JSONObject::iterator JSONObject::begin() { return entries_.begin(); }
inline JSONObject::iterator JSONObject::end() { return entries_.end(); }
inline JSONObject::const_iterator JSONObject::begin() const { return entries_.begin(); }
inline JSONObject::const_iterator JSONObject::end() const { return entries_.end(); }

}  // namespace corvane
