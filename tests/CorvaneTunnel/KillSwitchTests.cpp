// The kill switch's table, loaded for real inside a network namespace the test
// makes (never on the machine's own firewall), and judged by what it does to
// packets the test sends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "CorvaneCore/Support/FileDescriptor.hpp"
#include "CorvaneTunnel/KillSwitch.hpp"
#include "TestSupport/NetworkNamespaces.hpp"
#include "TestSupport/SocketAddress.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;

namespace {

constexpr std::uint32_t kMark = 0x2025;

// One namespace with an uplink (one end of a veth pair, with IPv4 and IPv6
// default routes: what leaves through it is a leak) and a stand-in for the tunnel
// interface that carries 10.213.8.0/24.
class KillSwitchNamespace : public ::testing::Test {
protected:
    void SetUp() override {
        try {
            ns_ = namespaces_.add('k');
        } catch (const std::exception& e) {
            GTEST_SKIP() << e.what();
        }
        std::string error = NetworkNamespaces::run({
            {"ip", "-n", ns_, "link", "add", "uplink", "type", "veth", "peer", "name", "uplink-peer"},
            {"ip", "-n", ns_, "link", "set", "uplink-peer", "up"},
            {"ip", "-n", ns_, "link", "set", "uplink", "up"},
            {"ip", "-n", ns_, "addr", "add", "10.213.7.1/24", "dev", "uplink"},
            {"ip", "-n", ns_, "addr", "add", "fd00:213::1/64", "dev", "uplink", "nodad"},
            {"ip", "-n", ns_, "route", "add", "default", "via", "10.213.7.2"},
            {"ip", "-n", ns_, "-6", "route", "add", "default", "via", "fd00:213::2"},
            {"ip", "-n", ns_, "link", "add", "Corvane", "type", "veth", "peer", "name", "Corvane-peer"},
            {"ip", "-n", ns_, "link", "set", "Corvane-peer", "up"},
            {"ip", "-n", ns_, "link", "set", "Corvane", "up"},
            {"ip", "-n", ns_, "addr", "add", "172.19.0.1/30", "dev", "Corvane"},
            {"ip", "-n", ns_, "route", "add", "10.213.8.0/24", "dev", "Corvane"},
        });
        if (!error.empty()) GTEST_SKIP() << "cannot set up the namespace: " << error;
        try {
            inside([] { runNftables("list tables"); });
        } catch (const std::exception& e) {
            GTEST_SKIP() << "nftables is not usable here: " << e.what();
        }
    }

    void inside(const std::function<void()>& work) { inNetworkNamespace(ns_, work); }

    std::uint64_t rejected(const KillSwitch& killSwitch) {
        std::optional<std::uint64_t> count;
        inside([&] { count = killSwitch.rejectedPackets(); });
        EXPECT_TRUE(count.has_value());
        return count.value_or(0);
    }

    std::string listing() {
        std::string text;
        inside([&] { text = runNftables("list ruleset"); });
        return text;
    }

    NetworkNamespaces namespaces_{"cvks"};
    std::string ns_;
    TempDir state_;
};

struct PacketCase {
    const char* kind;
    int family;
    int type;
    int protocol;
    const char* destination;
    std::uint16_t port;
    std::function<void(int)> prepare;  // socket options before sending
    bool refused;
};

// Sends one packet of the case's kind; a packet the table refuses is counted
// before the call returns, so no waiting is needed.
void send(const PacketCase& c) {
    FileDescriptor fd(::socket(c.family, c.type | SOCK_NONBLOCK | SOCK_CLOEXEC, c.protocol));
    ASSERT_TRUE(fd.valid()) << c.kind << ": " << std::strerror(errno);
    if (c.prepare) c.prepare(fd.get());
    sockaddr_storage to = socketAddress(c.destination, c.port);
    if (c.type == SOCK_STREAM) {
        ::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), socketAddressLength(to));
    } else if (c.protocol == IPPROTO_ICMP) {
        icmphdr echo{};
        echo.type = ICMP_ECHO;
        ::sendto(fd.get(), &echo, sizeof echo, 0, reinterpret_cast<sockaddr*>(&to), socketAddressLength(to));
    } else {
        const char payload[] = "probe";
        ::sendto(fd.get(), payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), socketAddressLength(to));
    }
}

void setInt(int fd, int level, int name, int value) { ::setsockopt(fd, level, name, &value, sizeof value); }

}  // namespace

TEST_F(KillSwitchNamespace, RefusesEveryPacketOutsideTheTunnelAndLetsTheAllowedKindsThrough) {
    KillSwitch killSwitch(state_.path());
    inside([&] { killSwitch.engage({.engineMark = kMark, .lanShareAddress = "10.213.7.1", .lanSharePort = 2081}); });

    const auto bindTo = [](const char* device) {
        return [device](int fd) { ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device, std::strlen(device)); };
    };
    const auto bindPort = [](const char* from, std::uint16_t port) {
        return [from, port](int fd) {
            setInt(fd, SOL_SOCKET, SO_REUSEADDR, 1);
            setInt(fd, SOL_SOCKET, SO_BROADCAST, 1);
            sockaddr_storage a = socketAddress(from, port);
            ::bind(fd, reinterpret_cast<sockaddr*>(&a), socketAddressLength(a));
        };
    };
    const std::vector<PacketCase> cases = {
        {"TCP over IPv4", AF_INET, SOCK_STREAM, 0, "10.213.7.9", 443, nullptr, true},
        {"TCP over IPv6", AF_INET6, SOCK_STREAM, 0, "fd00:213::9", 443, nullptr, true},
        {"DNS over UDP", AF_INET, SOCK_DGRAM, 0, "10.213.7.9", 53, nullptr, true},
        {"other UDP", AF_INET, SOCK_DGRAM, 0, "10.213.7.9", 9999, nullptr, true},
        {"UDP over IPv6", AF_INET6, SOCK_DGRAM, 0, "fd00:213::9", 53, nullptr, true},
        {"ICMP echo", AF_INET, SOCK_RAW, IPPROTO_ICMP, "10.213.7.9", 0, nullptr, true},
        {"TCP bound to the uplink", AF_INET, SOCK_STREAM, 0, "10.213.7.9", 80, bindTo("uplink"), true},
        {"a mark other than the engine's", AF_INET, SOCK_STREAM, 0, "10.213.7.9", 80,
         [](int fd) { setInt(fd, SOL_SOCKET, SO_MARK, kMark + 1); }, true},
        {"another port from the LAN share's address", AF_INET, SOCK_STREAM, 0, "10.213.7.9", 80,
         bindPort("10.213.7.1", 2082), true},
        {"through the tunnel interface", AF_INET, SOCK_STREAM, 0, "10.213.8.9", 443, nullptr, false},
        {"UDP through the tunnel interface", AF_INET, SOCK_DGRAM, 0, "10.213.8.9", 53, nullptr, false},
        {"loopback", AF_INET, SOCK_STREAM, 0, "127.0.0.1", 9, nullptr, false},
        {"the engine's own connection", AF_INET, SOCK_STREAM, 0, "10.213.7.9", 443,
         [](int fd) { setInt(fd, SOL_SOCKET, SO_MARK, kMark); }, false},
        {"the engine's own, bound to the uplink", AF_INET, SOCK_STREAM, 0, "10.213.7.9", 443,
         [&](int fd) {
             setInt(fd, SOL_SOCKET, SO_MARK, kMark);
             bindTo("uplink")(fd);
         },
         false},
        {"DHCP request", AF_INET, SOCK_DGRAM, 0, "255.255.255.255", 67, bindPort("0.0.0.0", 68), false},
        {"DHCPv6 request", AF_INET6, SOCK_DGRAM, 0, "fd00:213::9", 547, bindPort("::", 546), false},
        {"the LAN share's replies", AF_INET, SOCK_STREAM, 0, "10.213.7.9", 50000, bindPort("10.213.7.1", 2081), false},
    };
    for (const auto& c : cases) {
        std::uint64_t before = rejected(killSwitch);
        inside([&] { send(c); });
        EXPECT_EQ(rejected(killSwitch) - before, c.refused ? 1u : 0u) << c.kind;
    }

    // A refused TCP connection fails at once instead of hanging.
    inside([] {
        FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_storage to = socketAddress("10.213.7.9", 443);
        EXPECT_NE(::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), socketAddressLength(to)), 0);
        EXPECT_EQ(errno, ECONNREFUSED);
    });
}

TEST_F(KillSwitchNamespace, TheListedTableHoldsExactlyTheIntendedRules) {
    KillSwitch killSwitch(state_.path());
    inside([&] { killSwitch.engage({.engineMark = kMark}); });
    const std::string table = listing();
    for (const char* rule : {
             "type filter hook output priority filter; policy accept;",
             "oifname \"lo\" accept",
             "oifname \"Corvane\" accept",
             "meta mark 0x00002025 accept",
             "udp sport 68 udp dport 67 accept",
             "udp sport 546 udp dport 547 accept",
             "nd-neighbor-solicit",
             "meta l4proto tcp counter name \"rejected\" reject with tcp reset",
             "counter name \"rejected\" reject with icmpx admin-prohibited",
         }) {
        EXPECT_NE(table.find(rule), std::string::npos) << rule << "\nin\n" << table;
    }
    EXPECT_EQ(table.find("LAN share"), std::string::npos) << "no LAN share, no opening for it";
    EXPECT_EQ(table.find("policy drop"), std::string::npos);
}

TEST_F(KillSwitchNamespace, ARestartedServiceRestoresTheIntendedBlockOnceAndReleaseEndsIt) {
    KillSwitch first(state_.path());
    inside([&] {
        first.engage({.engineMark = kMark});
        first.engage({.engineMark = kMark});  // again, as after a reconnect
    });
    // The table is kernel state: a crash leaves it, and the next service finds the intent.
    inside([&] { runNftables(killSwitchRemoval()); });
    KillSwitch second(state_.path());
    bool restored = false;
    inside([&] { restored = second.restore(); });
    EXPECT_TRUE(restored);
    EXPECT_TRUE(second.engaged());
    KillSwitch third(state_.path());
    inside([&] { restored = third.restore(); });  // on top of a table that is still there
    EXPECT_TRUE(restored);
    std::string table = listing();
    std::size_t tables = 0;
    for (std::size_t at = table.find("table inet corvane"); at != std::string::npos; at = table.find("table inet corvane", at + 1)) {
        ++tables;
    }
    EXPECT_EQ(tables, 1u) << table;
    EXPECT_EQ(table.find("chain output", table.find("chain output") + 1), std::string::npos) << "one chain, not two";

    inside([&] { third.release(); });
    EXPECT_EQ(listing().find("corvane"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(state_ / "killswitch.json"));
    KillSwitch fourth(state_.path());
    inside([&] { restored = fourth.restore(); });
    EXPECT_FALSE(restored);
    inside([&] { fourth.release(); });  // releasing twice is harmless
}

TEST(KillSwitchRuleset, RefusesValuesThatCouldChangeTheRulesMeaning) {
    EXPECT_THROW(killSwitchRuleset({.tunInterface = "Corvane\" accept"}), std::invalid_argument);
    EXPECT_THROW(killSwitchRuleset({.tunInterface = ""}), std::invalid_argument);
    EXPECT_THROW(killSwitchRuleset({.lanShareAddress = "10.0.0.1 accept", .lanSharePort = 2081}), std::invalid_argument);
    EXPECT_THROW(killSwitchRuleset({.lanShareAddress = "10.0.0.1", .lanSharePort = 0}), std::invalid_argument);
}
