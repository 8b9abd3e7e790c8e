#include "TestSupport/ConfigSchema.hpp"

#include <exception>

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

}  // namespace corvane::testing
