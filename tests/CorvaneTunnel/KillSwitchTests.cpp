// SPDX-License-Identifier: GPL-3.0-or-later
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
#include <thread>

#include "CorvaneCore/Support/FileDescriptor.hpp"
#include "CorvaneTunnel/KillSwitch.hpp"
#include "TestSupport/ForeignListener.hpp"
#include "TestSupport/NetworkNamespaces.hpp"
#include "TestSupport/SocketAddress.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;

namespace {

constexpr std::uint32_t kMark = 0x2025;
constexpr std::uint32_t kEngineUID = 65534;

// One namespace with an uplink (one end of a veth pair, with IPv4 and IPv6
// default routes: what leaves through it is a leak) whose other end is a LAN
// device's namespace (10.213.7.2), a stand-in for the tunnel interface that
// carries 10.213.8.0/24, and a routed guest behind it (a container or VM,
// 10.213.9.2) whose traffic the machine forwards.
class KillSwitchNamespace : public ::testing::Test {
protected:
    void SetUp() override {
        try {
            ns_ = namespaces_.add('k');
            lan_ = namespaces_.add('l');
            guest_ = namespaces_.add('g');
        } catch (const std::exception& e) {
            GTEST_SKIP() << e.what();
        }
        std::string error = NetworkNamespaces::run({
            // The rejection counts are compared packet by packet: the interfaces send no IPv6
            // of their own (router solicitations, repeated multicast reports) while they are.
            {"ip", "netns", "exec", ns_, "sysctl", "-qw", "net.ipv6.conf.default.addr_gen_mode=1",
             "net.ipv6.conf.default.router_solicitations=0", "net.ipv6.conf.all.router_solicitations=0",
             "net.ipv6.conf.default.mldv1_unsolicited_report_interval=3600000",
             "net.ipv6.conf.default.mldv2_unsolicited_report_interval=3600000"},
            {"ip", "-n", ns_, "link", "add", "uplink", "type", "veth", "peer", "name", "uplink-peer", "netns", lan_},
            {"ip", "-n", lan_, "addr", "add", "10.213.7.2/24", "dev", "uplink-peer"},
            {"ip", "-n", lan_, "link", "set", "uplink-peer", "up"},
            {"ip", "-n", ns_, "link", "set", "uplink", "up"},
            {"ip", "-n", ns_, "link", "add", "guests", "type", "veth", "peer", "name", "guest0", "netns", guest_},
            {"ip", "-n", ns_, "addr", "add", "10.213.9.1/24", "dev", "guests"},
            {"ip", "-n", ns_, "link", "set", "guests", "up"},
            {"ip", "-n", guest_, "addr", "add", "10.213.9.2/24", "dev", "guest0"},
            {"ip", "-n", guest_, "link", "set", "guest0", "up"},
            {"ip", "-n", guest_, "route", "add", "default", "via", "10.213.9.1"},
            {"ip", "netns", "exec", ns_, "sysctl", "-qw", "net.ipv4.ip_forward=1"},
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
    void inGuest(const std::function<void()>& work) { inNetworkNamespace(guest_, work); }
    void onLAN(const std::function<void()>& work) { inNetworkNamespace(lan_, work); }

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
    std::string ns_, lan_, guest_;
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
    bool fromGuest = false;  // sent by the routed guest, forwarded by the machine
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
    inside([&] {
        killSwitch.engage({.engineMark = kMark, .lanShareAddress = "10.213.7.1", .lanSharePort = 2081, .engineUID = kEngineUID});
    });

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
        // Once the engine is gone anyone may bind the share's address and port.
        {"a program bound to the LAN share's address and port", AF_INET, SOCK_STREAM, 0, "10.213.7.9", 80,
         bindPort("10.213.7.1", 2081), true},
        {"a guest's TCP", AF_INET, SOCK_STREAM, 0, "10.213.7.9", 443, nullptr, true, true},
        {"a guest's DNS", AF_INET, SOCK_DGRAM, 0, "10.213.7.9", 53, nullptr, true, true},
        {"a guest's ICMP echo", AF_INET, SOCK_RAW, IPPROTO_ICMP, "10.213.7.9", 0, nullptr, true, true},
        {"a guest's TCP through the tunnel interface", AF_INET, SOCK_STREAM, 0, "10.213.8.9", 443, nullptr, false, true},
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
    };
    for (const auto& c : cases) {
        std::uint64_t before = rejected(killSwitch);
        if (c.fromGuest) {
            inGuest([&] { send(c); });
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a forwarded packet is counted on arrival
        } else {
            inside([&] { send(c); });
        }
        EXPECT_EQ(rejected(killSwitch) - before, c.refused ? 1u : 0u) << c.kind;
    }

    // The engine's account may not start a connection from the share's port:
    // only replies pass.
    std::uint64_t before = rejected(killSwitch);
    inside([&] {
        FileDescriptor outgoing(socketOwnedBy(kEngineUID, AF_INET, SOCK_STREAM));
        bindPort("10.213.7.1", 2081)(outgoing.get());
        sockaddr_storage to = socketAddress("10.213.7.9", 80);
        ::connect(outgoing.get(), reinterpret_cast<sockaddr*>(&to), socketAddressLength(to));
    });
    EXPECT_EQ(rejected(killSwitch) - before, 1u) << "a connection from the share's port is not a reply";
    // The share's listener, the engine's account's own, answers a LAN device.
    FileDescriptor share;
    inside([&] {
        share = FileDescriptor(socketOwnedBy(kEngineUID, AF_INET, SOCK_STREAM));
        setInt(share.get(), SOL_SOCKET, SO_REUSEADDR, 1);
        sockaddr_storage at = socketAddress("10.213.7.1", 2081);
        ASSERT_EQ(::bind(share.get(), reinterpret_cast<sockaddr*>(&at), socketAddressLength(at)), 0) << std::strerror(errno);
        ASSERT_EQ(::listen(share.get(), 4), 0);
    });
    before = rejected(killSwitch);
    // The device stays connected until the count is read: the answer to its hang-up would come from
    // a connection nobody accepted here, whose socket has no owner the rules could recognise (the
    // engine accepts at once), and be refused, in a time that depends on how long reading the count takes.
    FileDescriptor device;
    onLAN([&] {
        device = FileDescriptor(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        timeval tv{5, 0};
        ::setsockopt(device.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_storage to = socketAddress("10.213.7.1", 2081);
        EXPECT_EQ(::connect(device.get(), reinterpret_cast<sockaddr*>(&to), socketAddressLength(to)), 0)
            << "the share's reply was refused: " << std::strerror(errno);
    });
    EXPECT_EQ(rejected(killSwitch), before);

    // A refused TCP connection fails at once instead of hanging, a guest's too.
    const auto refusedAtOnce = [] {
        FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        timeval tv{5, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_storage to = socketAddress("10.213.7.9", 443);
        EXPECT_NE(::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), socketAddressLength(to)), 0);
        EXPECT_EQ(errno, ECONNREFUSED);
    };
    inside(refusedAtOnce);
    inGuest(refusedAtOnce);
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
             "type filter hook forward priority filter; policy accept;",
             "iifname \"Corvane\" accept",
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

TEST_F(KillSwitchNamespace, LockdownBlocksWithoutASessionFromTheNextStartOnAndMayLetTheLANThrough) {
    {
        KillSwitch setting(state_.path());
        EXPECT_FALSE(setting.lockdown().enabled);
        setting.setLockdown({.enabled = true, .allowLAN = false});
    }
    KillSwitch booted(state_.path());  // a service starting after boot, before any connect
    ASSERT_TRUE(booted.lockdown().enabled);
    bool restored = false;
    inside([&] { restored = booted.restore(); });
    ASSERT_TRUE(restored);
    ASSERT_TRUE(booted.rules());
    EXPECT_TRUE(booted.rules()->lockdown);
    const auto refusedNow = [&](const PacketCase& c) {
        const std::uint64_t before = rejected(booted);
        if (c.fromGuest) {
            inGuest([&] { send(c); });
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } else {
            inside([&] { send(c); });
        }
        return rejected(booted) != before;
    };
    const PacketCase lanTCP{"TCP to the LAN", AF_INET, SOCK_STREAM, 0, "10.213.7.9", 443, nullptr, true};
    const PacketCase publicTCP{"TCP to the internet", AF_INET, SOCK_STREAM, 0, "203.0.113.5", 443, nullptr, true};
    const PacketCase guestLAN{"a guest's TCP to the LAN", AF_INET, SOCK_STREAM, 0, "10.213.7.9", 443, nullptr, true, true};
    EXPECT_TRUE(refusedNow(lanTCP));
    EXPECT_TRUE(refusedNow(publicTCP));
    EXPECT_TRUE(refusedNow(guestLAN));

    booted.setLockdown({.enabled = true, .allowLAN = true});
    inside([&] { booted.engage(booted.lockdownRules()); });
    EXPECT_FALSE(refusedNow(lanTCP));
    EXPECT_FALSE(refusedNow(guestLAN));
    EXPECT_TRUE(refusedNow(publicTCP));

    booted.setLockdown({});
    EXPECT_FALSE(std::filesystem::exists(state_ / "lockdown.json"));
    inside([&] { booted.release(); });
    KillSwitch after(state_.path());
    inside([&] { restored = after.restore(); });
    EXPECT_FALSE(restored);
}

TEST(KillSwitchRuleset, RefusesValuesThatCouldChangeTheRulesMeaning) {
    EXPECT_THROW(killSwitchRuleset({.tunInterface = "Corvane\" accept"}), std::invalid_argument);
    EXPECT_THROW(killSwitchRuleset({.tunInterface = ""}), std::invalid_argument);
    EXPECT_THROW(killSwitchRuleset({.lanShareAddress = "10.0.0.1 accept", .lanSharePort = 2081, .engineUID = 1}),
                 std::invalid_argument);
    EXPECT_THROW(killSwitchRuleset({.lanShareAddress = "10.0.0.1", .lanSharePort = 0, .engineUID = 1}), std::invalid_argument);
    // Without the engine's account there is no opening for the share at all.
    EXPECT_EQ(killSwitchRuleset({.lanShareAddress = "10.0.0.1", .lanSharePort = 2081}).find("2081"), std::string::npos);
}
