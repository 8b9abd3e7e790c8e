// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Support/JSONReader.hpp"

#include <charconv>
#include <string>

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/error.hpp>
#include <boost/json/value.hpp>
#include <boost/json/value_stack.hpp>

namespace corvane {

namespace {

namespace json = boost::json;

// Boost's own value-building handler, with doubles read from their text.
struct ExactHandler {
    static constexpr std::size_t max_object_size = json::object::max_size();
    static constexpr std::size_t max_array_size = json::array::max_size();
    static constexpr std::size_t max_key_size = json::string::max_size();
    static constexpr std::size_t max_string_size = json::string::max_size();

    json::value_stack st;
    std::string number;  // the text of the number being read, when it came in parts

    bool on_document_begin(json::error_code&) { return true; }
    bool on_document_end(json::error_code&) { return true; }
    bool on_object_begin(json::error_code&) { return true; }
    bool on_object_end(std::size_t n, json::error_code&) {
        st.push_object(n);
        return true;
    }
    bool on_array_begin(json::error_code&) { return true; }
    bool on_array_end(std::size_t n, json::error_code&) {
        st.push_array(n);
        return true;
    }
    bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
        st.push_chars(s);
        return true;
    }
    bool on_key(json::string_view s, std::size_t, json::error_code&) {
        st.push_key(s);
        return true;
    }
    bool on_string_part(json::string_view s, std::size_t, json::error_code&) {
        st.push_chars(s);
        return true;
    }
    bool on_string(json::string_view s, std::size_t, json::error_code&) {
        st.push_string(s);
        return true;
    }
    bool on_number_part(json::string_view s, json::error_code&) {
        number.append(s.data(), s.size());
        return true;
    }
    bool on_int64(std::int64_t i, json::string_view, json::error_code&) {
        number.clear();
        st.push_int64(i);
        return true;
    }
    bool on_uint64(std::uint64_t u, json::string_view, json::error_code&) {
        number.clear();
        st.push_uint64(u);
        return true;
    }
    bool on_double(double d, json::string_view s, json::error_code&) {
        std::string_view text(s.data(), s.size());
        if (!number.empty()) {
            number.append(text);
            text = number;
        }
        double exact = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), exact);
        // Out of range: keep the parser's value (an infinity, or zero below the smallest double).
        st.push_double(error == std::errc() && end == text.data() + text.size() ? exact : d);
        number.clear();
        return true;
    }
    bool on_bool(bool b, json::error_code&) {
        st.push_bool(b);
        return true;
    }
    bool on_null(json::error_code&) {
        st.push_null();
        return true;
    }
    bool on_comment_part(json::string_view, json::error_code&) { return true; }
    bool on_comment(json::string_view, json::error_code&) { return true; }
};

}  // namespace

json::value readJSON(std::string_view text, boost::system::error_code& ec) {
    json::basic_parser<ExactHandler> parser(json::parse_options{});
    parser.handler().st.reset();
    const std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
    if (ec) return nullptr;
    if (used < text.size()) {
        ec = json::error::extra_data;
        return nullptr;
    }
    return parser.handler().st.release();
}

}  // namespace corvane
