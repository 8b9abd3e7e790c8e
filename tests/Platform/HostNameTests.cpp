// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "Corvane/Platform/HostName.hpp"

using namespace corvane;

TEST(HostName, PrettyNameFromMachineInfo) {
    struct Case {
        const char* text;
        std::optional<std::string> name;
    };
    for (const Case& c : {Case{"PRETTY_HOSTNAME=\"Anna's Laptop\"\nCHASSIS=laptop\n", "Anna's Laptop"},
                          Case{"PRETTY_HOSTNAME='Büro \"3\"'\n", "Büro \"3\""},
                          Case{"PRETTY_HOSTNAME=Plain\\ name\n", "Plain name"},
                          Case{"  PRETTY_HOSTNAME=first\nPRETTY_HOSTNAME=second\n", "second"},
                          Case{"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
                          Case{"CHASSIS=desktop\n", std::nullopt},
                          Case{"", std::nullopt}}) {
        EXPECT_EQ(prettyHostNameFromMachineInfo(c.text), c.name) << c.text;
    }
}

TEST(HostName, TheMachineHasAName) {
    auto name = localizedHostName();
    ASSERT_TRUE(name.has_value());  // gethostname() answers even without hostnamed
    EXPECT_FALSE(name->empty());
}
