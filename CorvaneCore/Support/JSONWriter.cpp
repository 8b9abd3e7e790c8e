// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Support/JSONWriter.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include <boost/json/value.hpp>

#include "CorvaneCore/Support/UTF8.hpp"

namespace corvane {

namespace {

constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53

void newline(std::string& out, int indent, int depth) {
    out.push_back('\n');
    out.append(static_cast<std::size_t>(indent) * static_cast<std::size_t>(depth), ' ');
}

void write(const boost::json::value& v, std::string& out, int indent, int depth, bool sortKeys) {
    switch (v.kind()) {
    case boost::json::kind::null:
        out += "null";
        break;
    case boost::json::kind::bool_:
        out += v.get_bool() ? "true" : "false";
        break;
    case boost::json::kind::int64: {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v.get_int64());
        out.append(buf, r.ptr);
        break;
    }
    case boost::json::kind::uint64: {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v.get_uint64());
        out.append(buf, r.ptr);
        break;
    }
    case boost::json::kind::double_:
        appendJSONNumber(out, v.get_double());
        break;
    case boost::json::kind::string:
        appendJSONString(out, v.get_string());
        break;
    case boost::json::kind::array: {
        const auto& a = v.get_array();
        out.push_back('[');
        bool first = true;
        for (const auto& e : a) {
            if (!first) out.push_back(',');
            first = false;
            if (indent > 0) newline(out, indent, depth + 1);
            write(e, out, indent, depth + 1, sortKeys);
        }
        if (indent > 0 && !a.empty()) newline(out, indent, depth);
        out.push_back(']');
        break;
    }
    case boost::json::kind::object: {
        const auto& o = v.get_object();
        out.push_back('{');
        bool first = true;
        auto member = [&](const boost::json::key_value_pair& kv) {
            if (!first) out.push_back(',');
            first = false;
            if (indent > 0) newline(out, indent, depth + 1);
            appendJSONString(out, kv.key());
            out += indent > 0 ? ": " : ":";
            write(kv.value(), out, indent, depth + 1, sortKeys);
        };
        if (sortKeys && o.size() > 1) {
            std::vector<const boost::json::key_value_pair*> members;
            members.reserve(o.size());
            for (const auto& kv : o) members.push_back(&kv);
            std::sort(members.begin(), members.end(), [](auto* a, auto* b) { return a->key() < b->key(); });
            for (const auto* kv : members) member(*kv);
        } else {
            for (const auto& kv : o) member(kv);
        }
        if (indent > 0 && !o.empty()) newline(out, indent, depth);
        out.push_back('}');
        break;
    }
    }
}

}  // namespace

void appendJSONString(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out.reserve(out.size() + text.size() + 2);
    out.push_back('"');
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // Readers reject JSON that is not UTF-8, and would then throw the whole document away.
            const int n = utf8SequenceAt(text, i);
            if (n < 0) {
                out.append(text.data() + runStart, i - runStart);
                out.append(replacementCharacter);
                i += static_cast<std::size_t>(-n);
                runStart = i;
            } else {
                i += static_cast<std::size_t>(n);
            }
            continue;
        }
        if (c >= 0x20 && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        out.append(text.data() + runStart, i - runStart);
        runStart = ++i;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            out += "\\u00";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        }
    }
    out.append(text.data() + runStart, text.size() - runStart);
    out.push_back('"');
}

void appendJSONNumber(std::string& out, double number) {
    if (!std::isfinite(number)) {
        out += "null";  // JSON has no spelling for NaN or infinities
        return;
    }
    char buf[32];
    std::to_chars_result r;
    if (std::trunc(number) == number) {
        // Whole numbers past 2^53 are not exact integers any more: say so with an exponent.
        r = std::fabs(number) < kExactIntegerLimit
                ? std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(number))
                : std::to_chars(buf, buf + sizeof buf, number, std::chars_format::scientific);
    } else {
        r = std::to_chars(buf, buf + sizeof buf, number);
    }
    out.append(buf, r.ptr);
}

void writeJSON(const boost::json::value& value, std::string& out, int indent, bool sortKeys) {
    write(value, out, indent, 0, sortKeys);
}

std::string toJSONText(const boost::json::value& value, int indent, bool sortKeys) {
    std::string out;
    writeJSON(value, out, indent, sortKeys);
    return out;
}

}  // namespace corvane
