// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport/ConfigSchema.hpp"

#include <exception>

#include "CorvaneCore/Config/ConfigAllowList.hpp"
#include "tools/fleet/ChildProcess.hpp"

namespace corvane::testing {

using fleet::ProcessResult;
using fleet::runProcess;

::testing::AssertionResult isValidEngineConfig(const std::string& configText) {
    const std::string node = CORVANE_NODE;
    if (node.empty() || node.ends_with("-NOTFOUND")) {
        return ::testing::AssertionFailure() << "Node.js was not found when the build was configured; "
                                                "the configuration cannot be checked against the schema";
    }
    ProcessResult result;
    try {
        result = runProcess({node, CORVANE_SOURCE_DIR "/tests/TestSupport/validate-config.mjs", "-"}, configText);
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << e.what();
    }
    if (result.exitStatus == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the sing-box schema rejects the configuration (validator exit "
                                         << result.exitStatus << "):\n"
                                         << result.err << result.out;
}

::testing::AssertionResult isValidEngineConfig(const JSONValue& config) {
    return isValidEngineConfig(config.serialize());
}

::testing::AssertionResult isAcceptedAsBuilt(const JSONValue& config) {
    try {
        JSONValue accepted = ConfigAllowList::check(config);
        if (accepted == config) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the allow-list changed the configuration:\n"
                                             << config.serialize() << "\nbecame\n" << accepted.serialize();
    } catch (const ConfigAllowList::Refusal& e) {
        return ::testing::AssertionFailure() << "the allow-list refuses the configuration: " << e.description();
    }
}

::testing::AssertionResult isAcceptedAsBuilt(const std::string& configText) {
    return isAcceptedAsBuilt(JSONValue::parse(configText));
}

}  // namespace corvane::testing
