// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "CorvaneCore/Support/JSONValue.hpp"

using corvane::JSONError;
using corvane::JSONObject;
using corvane::JSONValue;

TEST(JSONValue, NumbersRoundTripAsWrittenByBuilders) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"1", "1"}, {"1.5", "1.5"}, {"true", "true"}, {"false", "false"}, {"null", "null"},
        {"-0.25", "-0.25"},
        // Past 2^53 a whole number is no longer exact, so it is written as a float.
        {"12345678901234567890", "1.2345678901234567e+19"},
        {"9007199254740991", "9007199254740991"}, {"9007199254740992", "9.007199254740992e+15"},
        {R"({"a":[1,{"b":"x\"y\n"}]})", R"({"a":[1,{"b":"x\"y\n"}]})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JSONValue::parse(c.in).serialize(), c.out) << c.in;
    }
}

TEST(JSONValue, BuiltPortsAreIntegersAndBooleansStayBooleans) {
    JSONValue config = JSONObject{{"type", "mixed"}, {"listen_port", 1080}, {"sniff", true}};
    EXPECT_EQ(config.serialize(), R"({"type":"mixed","listen_port":1080,"sniff":true})");
    EXPECT_TRUE(JSONValue::parse("true").isBool());
    EXPECT_FALSE(JSONValue::parse("1") == JSONValue::parse("true"));
}

TEST(JSONValue, ObjectsCompareWithoutRegardToKeyOrder) {
    EXPECT_EQ(JSONValue::parse(R"({"a":1,"b":[true,null]})"), JSONValue::parse(R"({"b":[true,null],"a":1.0})"));
    EXPECT_NE(JSONValue::parse(R"({"a":1})"), JSONValue::parse(R"({"a":1,"b":2})"));
    EXPECT_NE(JSONValue::parse(R"([1,2])"), JSONValue::parse(R"([2,1])"));
}

TEST(JSONValue, IndentedOutputReadsBackTheSame) {
    auto v = JSONValue::parse(R"({"outbounds":[{"type":"direct","tag":"direct"}],"empty":{},"list":[]})");
    std::string pretty = v.serialize(2);
    EXPECT_NE(pretty.find("\n  \"outbounds\": [\n    {\n      \"type\": \"direct\""), std::string::npos) << pretty;
    EXPECT_EQ(JSONValue::parse(pretty), v);
}

TEST(JSONValue, MalformedTextIsAClearError) {
    for (const char* bad : {"", "{", "[1,]", "nul", "{\"a\" 1}"}) {
        EXPECT_THROW(JSONValue::parse(bad), JSONError) << bad;
    }
}

// Text from the system (a locale variable, an interface name, an engine line) is
// not always UTF-8; what we write must still read back, keys included.
TEST(JSONValue, WritesValidUTF8WhateverTheBytes) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case { std::string in; std::string out; };
    const Case cases[] = {
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},  // kept as it is
        {"de_DE\xFF", "de_DE" + fffd},
        {"\x80x", fffd + "x"},                                 // a lone continuation byte
        {"eth\xC3", "eth" + fffd},                             // cut off at the end
        {"\xE2\x82x", fffd + "x"},                             // cut off inside: one replacement
        {"\xC0\xAF", fffd + fffd},                             // an overlong "/"
        {"\xED\xA0\x80", fffd + fffd + fffd},                  // a surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},       // past U+10FFFF
        {"\xFF\"\n\xFE", fffd + "\\\"\\n" + fffd},             // escapes still apply around them
    };
    for (const auto& c : cases) {
        JSONValue value = JSONObject{{c.in, c.in}};
        const std::string text = value.serialize();
        EXPECT_EQ(text, "{\"" + c.out + "\":\"" + c.out + "\"}") << c.in;
        EXPECT_NO_THROW(JSONValue::parse(text)) << text;
    }
}
