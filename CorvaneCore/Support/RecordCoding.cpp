// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Support/RecordCoding.hpp"

#include <cmath>

#include "CorvaneCore/Support/JSONReader.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"

namespace corvane {

DecodingError::DecodingError(std::string record, std::string path, std::string reason)
    : record_(std::move(record)), path_(std::move(path)), reason_(std::move(reason)) {
    description_ = path_.empty() ? reason_ : path_ + ": " + reason_;
    what_ = description_ + " (" + record_ + ")";
}

CodingContext CodingContext::member(std::string_view key) const {
    std::string p;
    p.reserve(path.size() + key.size() + 1);
    p = path;
    if (!p.empty()) p.push_back('.');
    p.append(key);
    return {record, std::move(p)};
}

CodingContext CodingContext::element(std::size_t index) const {
    return {record, path + "[" + std::to_string(index) + "]"};
}

void CodingContext::fail(std::string reason) const {
    throw DecodingError(std::string(record), path, std::move(reason));
}

std::string_view jsonKindName(const boost::json::value& v) noexcept {
    switch (v.kind()) {
    case boost::json::kind::null: return "null";
    case boost::json::kind::bool_: return "a boolean";
    case boost::json::kind::int64:
    case boost::json::kind::uint64:
    case boost::json::kind::double_: return "a number";
    case boost::json::kind::string: return "a string";
    case boost::json::kind::array: return "an array";
    case boost::json::kind::object: return "an object";
    }
    return "an unknown value";
}

namespace {

[[noreturn]] void typeMismatch(const boost::json::value& v, const CodingContext& ctx, std::string_view expected) {
    ctx.fail("expected " + std::string(expected) + ", found " + std::string(jsonKindName(v)));
}

template <class Min, class Max>
[[noreturn]] void outOfRange(const CodingContext& ctx, Min min, Max max) {
    std::string reason = "number out of range (";
    reason.append(std::to_string(min)).append(" to ").append(std::to_string(max)).append(")");
    ctx.fail(std::move(reason));
}

}  // namespace

RecordDecoder::RecordDecoder(const boost::json::value& v, CodingContext ctx)
    : object_(&coding_detail::expectObject(v, ctx)), ctx_(std::move(ctx)) {}

const boost::json::value* RecordDecoder::lookup(std::string_view key) const {
    return object_->if_contains(key);
}

namespace coding_detail {

std::int64_t decodeSigned(const boost::json::value& v, const CodingContext& ctx, std::int64_t min, std::int64_t max) {
    switch (v.kind()) {
    case boost::json::kind::int64: {
        auto n = v.get_int64();
        if (n < min || n > max) outOfRange(ctx, min, max);
        return n;
    }
    case boost::json::kind::uint64: {
        auto n = v.get_uint64();
        if (n > static_cast<std::uint64_t>(max)) outOfRange(ctx, min, max);
        return static_cast<std::int64_t>(n);
    }
    case boost::json::kind::double_: {
        // Whole numbers written with a fraction ("5.0") are still integers.
        double d = v.get_double();
        if (std::trunc(d) != d) ctx.fail("expected an integer, found a fractional number");
        if (d < static_cast<double>(min) || d >= static_cast<double>(max) + 1.0) outOfRange(ctx, min, max);
        return static_cast<std::int64_t>(d);
    }
    default: typeMismatch(v, ctx, "an integer");
    }
}

std::uint64_t decodeUnsigned(const boost::json::value& v, const CodingContext& ctx, std::uint64_t max) {
    switch (v.kind()) {
    case boost::json::kind::int64: {
        auto n = v.get_int64();
        if (n < 0 || static_cast<std::uint64_t>(n) > max) outOfRange(ctx, 0, max);
        return static_cast<std::uint64_t>(n);
    }
    case boost::json::kind::uint64: {
        auto n = v.get_uint64();
        if (n > max) outOfRange(ctx, 0, max);
        return n;
    }
    case boost::json::kind::double_: {
        double d = v.get_double();
        if (std::trunc(d) != d) ctx.fail("expected an integer, found a fractional number");
        if (d < 0 || d >= static_cast<double>(max) + 1.0) outOfRange(ctx, 0, max);
        return static_cast<std::uint64_t>(d);
    }
    default: typeMismatch(v, ctx, "an integer");
    }
}

double decodeDouble(const boost::json::value& v, const CodingContext& ctx) {
    switch (v.kind()) {
    case boost::json::kind::int64: return static_cast<double>(v.get_int64());
    case boost::json::kind::uint64: return static_cast<double>(v.get_uint64());
    case boost::json::kind::double_: {
        // An infinity (1e999) would be written back as null, which no longer reads as a number.
        const double d = v.get_double();
        if (!std::isfinite(d)) ctx.fail("number out of range (beyond a double)");
        return d;
    }
    default: typeMismatch(v, ctx, "a number");
    }
}

JSONValue decodeJSONValue(const boost::json::value& v, const CodingContext& ctx) {
    try {
        return JSONValue::fromBoost(v);
    } catch (const JSONError& e) {
        ctx.fail(e.what());
    }
}

bool decodeBool(const boost::json::value& v, const CodingContext& ctx) {
    if (!v.is_bool()) typeMismatch(v, ctx, "a boolean");
    return v.get_bool();
}

std::string decodeString(const boost::json::value& v, const CodingContext& ctx) {
    if (!v.is_string()) typeMismatch(v, ctx, "a string");
    return std::string(v.get_string());
}

const boost::json::array& expectArray(const boost::json::value& v, const CodingContext& ctx) {
    if (!v.is_array()) typeMismatch(v, ctx, "an array");
    return v.get_array();
}

const boost::json::object& expectObject(const boost::json::value& v, const CodingContext& ctx) {
    if (!v.is_object()) typeMismatch(v, ctx, "an object");
    return v.get_object();
}

}  // namespace coding_detail

boost::json::value parseJSONText(std::string_view text, std::string_view record) {
    boost::system::error_code ec;
    boost::json::value v = readJSON(text, ec);
    if (ec) throw DecodingError(std::string(record), {}, "the data is not valid JSON (" + ec.message() + ")");
    return v;
}

std::string encodeJSONValue(const boost::json::value& v, int indent) {
    return toJSONText(v, indent);
}

}  // namespace corvane
