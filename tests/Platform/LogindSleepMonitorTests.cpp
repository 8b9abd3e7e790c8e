// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "Corvane/Platform/AppLog.hpp"
#include "Corvane/Platform/LogindSleepMonitor.hpp"

using namespace corvane;

TEST(LogindSleepMonitor, WithoutLogindItDoesNothingAndSaysSoOnce) {
    std::optional<std::string> saved;
    if (const char* bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) saved = bus;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/corvane-test-bus", 1);
    appLog().clear();
    {
        LogindSleepMonitor monitor;
        bool called = false;
        monitor.start([&] { called = true; }, [&] { called = true; });
        monitor.cancel();
        EXPECT_FALSE(called);
    }
    if (saved) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved->c_str(), 1);
    } else {
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    int lines = 0;
    for (const auto& line : appLog().snapshot()) lines += line.target == "sleep-monitor";
    EXPECT_EQ(lines, 1);
}
