#pragma once

#include <string>

#include <gtest/gtest.h>

#include "CorvaneCore/Support/JSONValue.hpp"

namespace corvane::testing {

// Checks an engine configuration against the sing-box 1.12 configuration schema
// by running tests/TestSupport/validate-config.mjs under Node:
//     EXPECT_TRUE(isValidEngineConfig(config));
// The failure message carries the schema's complaints.
::testing::AssertionResult isValidEngineConfig(const std::string& configText);
::testing::AssertionResult isValidEngineConfig(const JSONValue& config);

}  // namespace corvane::testing
