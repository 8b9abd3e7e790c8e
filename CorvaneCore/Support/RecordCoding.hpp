// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One way to read and write every JSON record: required keys, optional keys
// (absent or null), defaulted keys, unknown keys ignored, wrong types rejected,
// and a failure that names the record and the key path.
//
// A record is a struct with
//     static constexpr std::string_view recordName = "ServerListEntry";
//     static ServerListEntry decode(const RecordDecoder& d);
//     void encode(RecordEncoder& e) const;
// Other types get coded by specialising JSONCoding<T>.

#include <concepts>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <boost/json/value.hpp>

#include "CorvaneCore/Support/JSONValue.hpp"

namespace corvane {

class DecodingError : public std::exception {
public:
    DecodingError(std::string record, std::string path, std::string reason);

    const std::string& record() const noexcept { return record_; }
    const std::string& path() const noexcept { return path_; }
    const std::string& reason() const noexcept { return reason_; }
    // "servers[2].vps_id: expected an integer, found a string"
    const std::string& description() const noexcept { return description_; }
    // The description followed by the record being read, in parentheses.
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string record_, path_, reason_, description_, what_;
};

// Where a value sits while it is decoded.
struct CodingContext {
    std::string_view record;
    std::string path;

    CodingContext member(std::string_view key) const;
    CodingContext element(std::size_t index) const;
    [[noreturn]] void fail(std::string reason) const;
};

std::string_view jsonKindName(const boost::json::value& v) noexcept;

template <class T>
struct JSONCoding;  // specialise: static T decode(const boost::json::value&, const CodingContext&);
                    //             static boost::json::value encode(const T&);

class RecordDecoder;
class RecordEncoder;

template <class T>
concept Record = requires(const RecordDecoder& d, RecordEncoder& e, const T& t) {
    { T::recordName } -> std::convertible_to<std::string_view>;
    { T::decode(d) } -> std::same_as<T>;
    t.encode(e);
};

template <class T>
T decodeValue(const boost::json::value& v, const CodingContext& ctx);
template <class T>
boost::json::value encodeValue(const T& value);

class RecordDecoder {
public:
    // Fails unless `v` is an object.
    RecordDecoder(const boost::json::value& v, CodingContext ctx);

    template <class T>
    T required(std::string_view key) const {
        const boost::json::value* v = lookup(key);
        if (!v) ctx_.member(key).fail("missing required key");
        return decodeValue<T>(*v, ctx_.member(key));
    }

    // Absent and null both give nothing.
    template <class T>
    std::optional<T> optional(std::string_view key) const {
        const boost::json::value* v = lookup(key);
        if (!v || v->is_null()) return std::nullopt;
        return decodeValue<T>(*v, ctx_.member(key));
    }

    // Absent and null both give the fallback.
    template <class T>
    T defaulted(std::string_view key, T fallback) const {
        const boost::json::value* v = lookup(key);
        if (!v || v->is_null()) return fallback;
        return decodeValue<T>(*v, ctx_.member(key));
    }

    bool contains(std::string_view key) const { return lookup(key) != nullptr; }
    const boost::json::object& object() const noexcept { return *object_; }
    const CodingContext& context() const noexcept { return ctx_; }
    [[noreturn]] void fail(std::string_view key, std::string reason) const { ctx_.member(key).fail(std::move(reason)); }

private:
    const boost::json::value* lookup(std::string_view key) const;

    const boost::json::object* object_;
    CodingContext ctx_;
};

class RecordEncoder {
public:
    template <class T>
    void set(std::string_view key, const T& value) {
        object_.insert_or_assign(key, encodeValue(value));
    }
    // Omitted when nil, never written as null.
    template <class T>
    void setOptional(std::string_view key, const std::optional<T>& value) {
        if (value) set(key, *value);
    }
    boost::json::object& object() noexcept { return object_; }

private:
    boost::json::object object_;
};

namespace coding_detail {

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};
template <class T>
struct IsStringMap : std::false_type {};
template <class T>
struct IsStringMap<std::map<std::string, T>> : std::true_type {};
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

std::int64_t decodeSigned(const boost::json::value& v, const CodingContext& ctx, std::int64_t min, std::int64_t max);
std::uint64_t decodeUnsigned(const boost::json::value& v, const CodingContext& ctx, std::uint64_t max);
double decodeDouble(const boost::json::value& v, const CodingContext& ctx);
JSONValue decodeJSONValue(const boost::json::value& v, const CodingContext& ctx);
bool decodeBool(const boost::json::value& v, const CodingContext& ctx);
std::string decodeString(const boost::json::value& v, const CodingContext& ctx);
const boost::json::array& expectArray(const boost::json::value& v, const CodingContext& ctx);
const boost::json::object& expectObject(const boost::json::value& v, const CodingContext& ctx);

}  // namespace coding_detail

template <class T>
T decodeValue(const boost::json::value& v, const CodingContext& ctx) {
    using namespace coding_detail;
    if constexpr (std::is_same_v<T, bool>) {
        return decodeBool(v, ctx);
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        return static_cast<T>(decodeSigned(v, ctx, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
    } else if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T>) {
        return static_cast<T>(decodeUnsigned(v, ctx, std::numeric_limits<T>::max()));
    } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(decodeDouble(v, ctx));
    } else if constexpr (std::is_same_v<T, std::string>) {
        return decodeString(v, ctx);
    } else if constexpr (std::is_same_v<T, JSONValue>) {
        return decodeJSONValue(v, ctx);
    } else if constexpr (std::is_same_v<T, boost::json::value>) {
        return v;
    } else if constexpr (IsOptional<T>::value) {
        if (v.is_null()) return T{};
        return T{decodeValue<typename T::value_type>(v, ctx)};
    } else if constexpr (IsVector<T>::value) {
        const auto& a = expectArray(v, ctx);
        T out;
        out.reserve(a.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
            out.push_back(decodeValue<typename T::value_type>(a[i], ctx.element(i)));
        }
        return out;
    } else if constexpr (IsStringMap<T>::value) {
        const auto& o = expectObject(v, ctx);
        T out;
        for (const auto& kv : o) {
            out.emplace(std::string(kv.key()), decodeValue<typename T::mapped_type>(kv.value(), ctx.member(kv.key())));
        }
        return out;
    } else if constexpr (Record<T>) {
        return T::decode(RecordDecoder(v, CodingContext{T::recordName, ctx.path}));
    } else {
        return JSONCoding<T>::decode(v, ctx);
    }
}

template <class T>
boost::json::value encodeValue(const T& value) {
    using namespace coding_detail;
    if constexpr (std::is_same_v<T, bool>) {
        return value;
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        return static_cast<std::int64_t>(value);
    } else if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T>) {
        return static_cast<std::uint64_t>(value);
    } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<double>(value);
    } else if constexpr (std::is_convertible_v<T, std::string_view>) {
        return boost::json::string(std::string_view(value));
    } else if constexpr (std::is_same_v<T, JSONValue>) {
        return value.toBoost();
    } else if constexpr (std::is_same_v<T, boost::json::value>) {
        return value;
    } else if constexpr (IsOptional<T>::value) {
        if (!value) return nullptr;
        return encodeValue(*value);
    } else if constexpr (IsVector<T>::value) {
        boost::json::array a;
        a.reserve(value.size());
        for (const auto& e : value) a.push_back(encodeValue(e));
        return a;
    } else if constexpr (IsStringMap<T>::value) {
        boost::json::object o;
        for (const auto& [k, e] : value) o.insert_or_assign(k, encodeValue(e));
        return o;
    } else if constexpr (Record<T>) {
        RecordEncoder e;
        value.encode(e);
        return std::move(e.object());
    } else {
        return JSONCoding<T>::encode(value);
    }
}

// Parses text with a throwaway arena; throws DecodingError naming the record.
boost::json::value parseJSONText(std::string_view text, std::string_view record);

template <Record T>
T decodeJSON(const boost::json::value& v) {
    return decodeValue<T>(v, CodingContext{T::recordName, {}});
}

template <Record T>
T decodeJSON(std::string_view text) {
    return decodeJSON<T>(parseJSONText(text, T::recordName));
}

template <class T>
boost::json::value toJSON(const T& value) {
    return encodeValue(value);
}

// Compact JSON text of a record (or any codable value); keys in the order the record writes them.
std::string encodeJSONValue(const boost::json::value& v, int indent = 0);
template <class T>
std::string encodeJSON(const T& value, int indent = 0) {
    return encodeJSONValue(encodeValue(value), indent);
}

}  // namespace corvane
