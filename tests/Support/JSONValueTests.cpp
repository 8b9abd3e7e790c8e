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
