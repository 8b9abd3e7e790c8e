// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "Corvane/Model/ModelTypes.hpp"

using namespace corvane;

// The one status line of the window, the tray and corvanectl: a block of
// traffic outside the tunnel is named whenever the tunnel is not up, and
// never hides the status itself.
TEST(StatusTitle, NamesTheBlockWheneverTheTunnelIsNotUp) {
    struct Case {
        UiStatus status;
        const char* open;
        const char* blocked;
    };
    const Case cases[] = {
        {UiStatus::disconnected, "Disconnected", "Tunnel down · traffic blocked until you reconnect or disconnect"},
        {UiStatus::connecting, "Connecting…", "Connecting… · traffic blocked meanwhile"},
        {UiStatus::connected, "Connected", "Connected"},
        {UiStatus::reconnecting, "Reconnecting…", "Reconnecting… · traffic blocked meanwhile"},
        {UiStatus::failed, "Failed", "Failed · traffic blocked until you reconnect or disconnect"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(statusTitle(c.status, false), c.open) << rawValue(c.status);
        EXPECT_EQ(statusTitle(c.status, true), c.blocked) << rawValue(c.status) << " blocked";
    }
}
