// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "CorvaneCore/Support/JSONValue.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"

using corvane::CodingContext;
using corvane::decodeValue;
using corvane::JSONError;
using corvane::parseJSONText;
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

// What we write must read back as the very same double (a stored balance compared
// with a threshold must not move): Boost 1.81 alone reads about one double in ten
// in [0, 1000) an ulp or two off.
TEST(JSONValue, DoublesReadBackBitForBit) {
    std::vector<double> values = {1.3051e-70, 0.1, 3.456, 1e-300, 5e-324, 1.7976931348623157e308, -2.5e-8};
    std::mt19937_64 random(29);
    std::uniform_real_distribution<double> below1000(0, 1000);
    for (int i = 0; i < 2000; ++i) values.push_back(below1000(random));
    auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    int drifted = 0;
    for (double v : values) {
        const std::string text = JSONValue(v).serialize();
        const double generic = *JSONValue::parse(text).number();
        const double inRecord = decodeValue<double>(parseJSONText(text, "Test"), CodingContext{"Test", {}});
        if (!same(generic, v) || !same(inRecord, v)) {
            if (++drifted <= 5) ADD_FAILURE() << text << " read back as " << generic << " / " << inRecord;
        }
    }
    EXPECT_EQ(drifted, 0);
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
    // A number beyond a double would be written back as null.
    for (const char* bad : {"", "{", "[1,]", "nul", "{\"a\" 1}", "1e775", "[-1e999]", "{\"a\":{\"b\":2e308}}"}) {
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
