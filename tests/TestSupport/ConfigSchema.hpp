// SPDX-License-Identifier: GPL-3.0-or-later
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

// The system service's allow-list accepts a configuration the app built and
// hands it on unchanged (the same document, written anew).
::testing::AssertionResult isAcceptedAsBuilt(const std::string& configText);
::testing::AssertionResult isAcceptedAsBuilt(const JSONValue& config);

}  // namespace corvane::testing
