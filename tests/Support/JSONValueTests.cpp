#include <gtest/gtest.h>

#include "CorvaneCore/Support/JSONValue.hpp"

using corvane::JSONValue;

TEST(JSONValue, NumbersRoundTripAsWrittenByBuilders) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"1", "1"}, {"1.5", "1.5"}, {"true", "true"}, {"false", "false"}, {"null", "null"},
        {"-0.25", "-0.25"}, {"12345678901234567890", "1.2345678901234567e+19"},
        {"9007199254740991", "9007199254740991"}, {"9007199254740992", "9.007199254740992e+15"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JSONValue::parse(c.in).serialize(), c.out) << c.in;
    }
}
