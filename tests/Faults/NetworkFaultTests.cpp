// SPDX-License-Identifier: GPL-3.0-or-later
// The network path flapping: a link in a network namespace of the test's own
// taken down and up again and again, faster than anything reacts to it.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <net/if.h>

#include "Corvane/Platform/NetlinkPathMonitor.hpp"
#include "TestSupport/NetworkNamespaces.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace std::chrono_literals;

namespace {

class Reports {
public:
    void add(const NetworkPath& path) {
        std::lock_guard lock(mutex_);
        signatures_.push_back(path.signature());
        changed_.notify_all();
    }
    // Whether the latest report is `signature` within `limit`, and stays so for `settle`.
    bool settlesOn(const std::string& signature, std::chrono::milliseconds limit, std::chrono::milliseconds settle) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, limit, [&] { return !signatures_.empty() && signatures_.back() == signature; })) return false;
        const std::size_t seen = signatures_.size();
        changed_.wait_for(lock, settle, [&] { return signatures_.size() != seen; });
        return signatures_.back() == signature;
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

// Whatever the link did last, the monitor's last word is the kernel's state
// once the flapping stops, and no report repeats the one before it.
TEST(FlappingLink, ThePathMonitorEndsOnTheLinksLastState) {
    struct Case {
        const char* name;
        int flaps;
        bool endsUp;
    };
    for (const Case& c : {Case{"ends up", 25, true}, Case{"ends down", 25, false}, Case{"one blip", 1, true}}) {
        SCOPED_TRACE(c.name);
        NetworkNamespaces namespaces("cvflap");
        std::string ns;
        try {
            ns = namespaces.add('a');
        } catch (const std::exception& e) {
            GTEST_SKIP() << "network namespaces are not available here: " << e.what();
        }
        ASSERT_EQ(NetworkNamespaces::run({{"ip", "-n", ns, "link", "add", "cvf0", "type", "veth", "peer", "name", "cvf1"},
                                          {"ip", "-n", ns, "addr", "add", "10.215.0.1/24", "dev", "cvf0"},
                                          {"ip", "-n", ns, "link", "set", "cvf0", "up"},
                                          {"ip", "-n", ns, "route", "add", "default", "via", "10.215.0.2", "dev", "cvf0"}}),
                  "");
        Reports reports;
        NetlinkPathMonitor monitor;
        int index = 0;
        inNetworkNamespace(ns, [&] {
            index = static_cast<int>(::if_nametoindex("cvf0"));
            monitor.start([&](const NetworkPath& path) { reports.add(path); });
        });
        ASSERT_GT(index, 0);
        const std::string up = "true:cvf0:" + std::to_string(index);
        ASSERT_TRUE(reports.settlesOn(up, 5s, 0ms)) << ::testing::PrintToString(reports.all());

        // Down and up again without pause; the default route goes with the link and is put back.
        for (int i = 0; i < c.flaps; ++i) {
            std::vector<std::vector<std::string>> steps{{"ip", "-n", ns, "link", "set", "cvf0", "down"}};
            if (i + 1 < c.flaps || c.endsUp) {
                steps.push_back({"ip", "-n", ns, "link", "set", "cvf0", "up"});
                steps.push_back({"ip", "-n", ns, "route", "replace", "default", "via", "10.215.0.2", "dev", "cvf0"});
            }
            ASSERT_EQ(NetworkNamespaces::run(steps), "");
        }
        EXPECT_TRUE(reports.settlesOn(c.endsUp ? up : "false:", 5s, 500ms)) << ::testing::PrintToString(reports.all());
        const auto all = reports.all();
        for (std::size_t i = 1; i < all.size(); ++i) EXPECT_NE(all[i], all[i - 1]) << "report " << i << " repeats the one before";
        monitor.cancel();
    }
}
