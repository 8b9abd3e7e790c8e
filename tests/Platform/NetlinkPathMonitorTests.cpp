// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <net/if.h>

#include "Corvane/Platform/NetlinkPathMonitor.hpp"
#include "TestSupport/NetworkNamespaces.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace std::chrono_literals;

namespace {

// The paths a monitor reported, as signatures.
class Reports {
public:
    void add(const NetworkPath& path) {
        std::lock_guard lock(mutex_);
        signatures_.push_back(path.signature());
        changed_.notify_all();
    }
    // Waits until the latest report is `signature`.
    bool waitFor(const std::string& signature, std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return !signatures_.empty() && signatures_.back() == signature; });
    }
    std::vector<std::string> all() {
        std::lock_guard lock(mutex_);
        return signatures_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> signatures_;
};

}  // namespace

TEST(NetworkPath, SignatureNamesStatusAndInterfacesInOrder) {
    EXPECT_EQ((NetworkPath{true, {{"eth0", 2}, {"wlan0", 3}}}).signature(), "true:eth0:2,wlan0:3");
    EXPECT_EQ((NetworkPath{false, {}}).signature(), "false:");
    EXPECT_EQ((NetworkPath{false, {{"eth0", 2}}}).signature(), "false:eth0:2");
}

TEST(NetlinkPathMonitor, FollowsTheKernelInANetworkNamespace) {
    NetworkNamespaces namespaces("cvpath");
    std::string ns;
    try {
        ns = namespaces.add('a');
    } catch (const std::exception& e) {
        GTEST_SKIP() << "network namespaces are not available here: " << e.what();
    }
    // A veth pair inside the namespace; only one end is brought up.
    ASSERT_EQ(NetworkNamespaces::run({{"ip", "-n", ns, "link", "add", "cvp0", "type", "veth", "peer", "name", "cvp1"}}), "");

    Reports reports;
    NetlinkPathMonitor monitor;
    int index = 0;
    inNetworkNamespace(ns, [&] {
        index = static_cast<int>(::if_nametoindex("cvp0"));
        monitor.start([&](const NetworkPath& path) { reports.add(path); });
    });
    ASSERT_GT(index, 0);
    const std::string cvp0 = "cvp0:" + std::to_string(index);

    // Only loopback is up: no interfaces, no way out.
    ASSERT_TRUE(reports.waitFor("false:")) << ::testing::PrintToString(reports.all());

    ASSERT_EQ(NetworkNamespaces::run({{"ip", "-n", ns, "addr", "add", "10.214.0.1/24", "dev", "cvp0"},
                                      {"ip", "-n", ns, "link", "set", "cvp0", "up"}}), "");
    EXPECT_TRUE(reports.waitFor("false:" + cvp0)) << ::testing::PrintToString(reports.all());

    ASSERT_EQ(NetworkNamespaces::run({{"ip", "-n", ns, "route", "add", "default", "via", "10.214.0.2", "dev", "cvp0"}}), "");
    EXPECT_TRUE(reports.waitFor("true:" + cvp0)) << ::testing::PrintToString(reports.all());

    // Down: the interface drops out and its default route with it.
    ASSERT_EQ(NetworkNamespaces::run({{"ip", "-n", ns, "link", "set", "cvp0", "down"}}), "");
    EXPECT_TRUE(reports.waitFor("false:")) << ::testing::PrintToString(reports.all());

    // Consecutive reports always differ: a burst of kernel events is one report.
    auto all = reports.all();
    for (std::size_t i = 1; i < all.size(); ++i) EXPECT_NE(all[i], all[i - 1]);

    monitor.cancel();
    const std::size_t seen = reports.all().size();
    ASSERT_EQ(NetworkNamespaces::run({{"ip", "-n", ns, "link", "set", "cvp0", "up"}}), "");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(reports.all().size(), seen);  // nothing after cancel
}
