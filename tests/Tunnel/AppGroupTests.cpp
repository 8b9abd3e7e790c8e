// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "CorvaneCore/Tunnel/AppGroup.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::fleet;

namespace {

class AppGroupTest : public ::testing::Test {
protected:
    const std::string variable{AppGroup::containerEnvironmentVariable};
    std::optional<std::string> saved;
    TempDir dir;

    AppGroupTest() {
        if (const char* v = std::getenv(variable.c_str())) saved = v;
        ::unsetenv(variable.c_str());
    }
    ~AppGroupTest() override {
        if (saved) {
            ::setenv(variable.c_str(), saved->c_str(), 1);
        } else {
            ::unsetenv(variable.c_str());
        }
    }
    void setContainer(const std::string& value) { ::setenv(variable.c_str(), value.c_str(), 1); }
};

TEST_F(AppGroupTest, IdentifierIsThePrefixFollowedByTheSharedName) {
    EXPECT_EQ(AppGroup::identifier("ABCDE12345."), "ABCDE12345.com.corvane.shared");
    EXPECT_EQ(AppGroup::identifier(""), "com.corvane.shared");
    EXPECT_EQ(AppGroup::identifier(), std::string(CORVANE_TEAM_PREFIX) + "com.corvane.shared");
}

TEST_F(AppGroupTest, WithoutAContainerDirectoryThrowsContainerUnavailable) {
    for (const char* value : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
        if (value) setContainer(value);
        EXPECT_EQ(AppGroup::containerURL(), std::nullopt);
        try {
            AppGroup::directory("Logs");
            ADD_FAILURE() << "a directory without a container";
        } catch (const AppGroupError& e) {
            EXPECT_EQ(e, AppGroupError::containerUnavailable(AppGroup::identifier()));
            EXPECT_EQ(e.description(), "App group container \"" + AppGroup::identifier() +
                                           "\" is unavailable. The app-groups entitlement is missing, misspelled, or "
                                           "(on macOS) lacks the team-identifier prefix.");
        }
    }
}

TEST_F(AppGroupTest, DirectoriesAreMadeInsideTheContainerAndReused) {
    const auto container = dir.path() / "group";
    setContainer(container.string());
    EXPECT_EQ(AppGroup::containerURL(), container);

    auto logs = AppGroup::directory("Logs");
    EXPECT_EQ(logs, container / "Logs");
    EXPECT_TRUE(std::filesystem::is_directory(logs));
    writeFile(logs / "kept.txt", "x");
    EXPECT_EQ(AppGroup::directory("Logs"), logs);
    EXPECT_EQ(readFile(logs / "kept.txt"), "x");

    EXPECT_EQ(AppGroup::directory("Reports/queue"), container / "Reports" / "queue");
    EXPECT_TRUE(std::filesystem::is_directory(container / "Reports" / "queue"));
    // A leading "/" stays inside the container.
    EXPECT_EQ(AppGroup::directory("/State"), container / "State");
    EXPECT_THROW(AppGroup::directory("../outside"), std::invalid_argument);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "outside"));

    writeFile(container / "file", "not a directory");
    EXPECT_THROW(AppGroup::directory("file/below"), std::filesystem::filesystem_error);
}

}  // namespace
