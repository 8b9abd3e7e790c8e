// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <utility>

#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/SitePrep.hpp"
#include "CorvaneCore/Support/Blocking.hpp"

using namespace corvane;

namespace {

IPv4Prefix prefix(const char* text) {
    return *IPv4Prefix::parse(text);
}

SiteAccess site(std::int64_t id, std::vector<std::string> cidrs, std::vector<std::string> onsite = {}) {
    SiteAccess s;
    s.siteId = id;
    s.name = "Site " + std::to_string(id);
    s.endpointHost = "198.51.100.7";
    s.endpointPort = 51820;
    s.cidrs = std::move(cidrs);
    s.onsiteCidrs = std::move(onsite);
    s.serverPublicKey = "pub";
    s.address = "10.99.0.2/32";
    s.privateKey = "key";
    return s;
}

// Answers for the addresses it is told about and records every question.
struct RecordingProbe {
    std::set<std::string> answering;
    std::vector<std::pair<std::string, std::uint16_t>> asked;

    SitePrep::Probe function() {
        return [this](std::string address, std::uint16_t port) -> Async<bool> {
            asked.emplace_back(address, port);
            co_return answering.contains(address);
        };
    }
};

}  // namespace

TEST(SitePrep, OnSiteWhenAnySiteNetworkOverlapsADeviceNetwork) {
    struct Case { std::vector<std::string> cidrs, onsite; std::vector<const char*> device; bool onSite; };
    const Case cases[] = {
        {{"192.168.1.0/24"}, {}, {"192.168.1.0/24"}, true},
        {{"10.1.2.0/24"}, {}, {"10.0.0.0/8"}, true},
        {{"10.0.0.0/8"}, {}, {"10.1.2.0/24"}, true},
        {{"10.1.2.0/24"}, {"192.168.7.0/24"}, {"192.168.7.33/32"}, true},
        {{"10.1.2.0/24"}, {}, {"10.1.3.0/24", "172.16.0.0/12"}, false},
        {{"not a cidr", "10.0.0.0/33"}, {"gw.example.net"}, {"0.0.0.0/0"}, false},
        {{"10.0.0.0/8"}, {}, {}, false},
    };
    for (const auto& c : cases) {
        std::vector<IPv4Prefix> device;
        for (const char* d : c.device) device.push_back(prefix(d));
        EXPECT_EQ(SitePrep::isOnSite(site(1, c.cidrs, c.onsite), device), c.onSite) << ::testing::PrintToString(c.cidrs);
    }
}

TEST(SitePrep, TunnelsLoopbackAndPeerLinksAreNotDeviceNetworks) {
    for (const char* name : {"utun3", "lo0", "lo", "awdl0", "llw0", "tun0", "tap1", "wg0", "Corvane"}) {
        EXPECT_FALSE(SitePrep::countsAsDeviceInterface(name)) << name;
    }
    for (const char* name : {"eth0", "enp3s0", "wlp2s0", "docker0", "br-lan", "veth1"}) {
        EXPECT_TRUE(SitePrep::countsAsDeviceInterface(name)) << name;
    }
    // The live prefixes are normalised (host bits cleared).
    for (const auto& p : SitePrep::devicePrefixes()) EXPECT_EQ(p, IPv4Prefix(p.address(), p.length()));
}

TEST(SitePrep, LocalCandidatesAreTheFirstTwoUsableAddresses) {
    SiteAccess s = site(1, {"10.0.0.0/8"});
    s.endpointHost = "192.168.1.1";
    struct Case { std::vector<std::string> local; std::vector<std::string> expected; };
    const Case cases[] = {
        {{"192.168.1.1", " 192.168.1.2 ", "192.168.1.3", "192.168.1.4"}, {"192.168.1.2", "192.168.1.3"}},
        {{"gw.lan", "192.168.1.9/32", "fe80::1", "192.168.1.300", "10.0.0.1"}, {"10.0.0.1"}},
        {{}, {}},
    };
    for (const auto& c : cases) {
        s.localEndpoints = c.local;
        EXPECT_EQ(SitePrep::localEndpointCandidates(s), c.expected) << ::testing::PrintToString(c.local);
    }
}

TEST(SitePrep, PrepareSitesProbesInOrderAndSubstitutesTheAnsweringGateway) {
    SiteAccess near = site(1, {"192.168.1.0/24"});
    near.localEndpoints = {"198.51.100.7", "192.168.1.2", "192.168.1.3", "192.168.1.4"};
    SiteAccess away = site(2, {"10.20.0.0/16"});
    away.localEndpoints = {"10.20.0.1"};
    SiteAccess off = site(3, {"10.30.0.0/16"});
    off.localEndpoints = {"10.30.0.1"};

    RecordingProbe probe;
    probe.answering = {"192.168.1.3", "10.30.0.1"};
    auto prepared = runToCompletion(SitePrep::prepareSites({near, away, off}, {prefix("192.168.1.0/24")}, {3}, probe.function()));

    // The first candidate fails, the second answers, and the third is never tried.
    EXPECT_EQ(probe.asked, (std::vector<std::pair<std::string, std::uint16_t>>{
                               {"192.168.1.2", 51820}, {"192.168.1.3", 51820}, {"10.20.0.1", 51820}, {"10.30.0.1", 51820}}));
    ASSERT_EQ(prepared.size(), 3u);
    SiteAccess nearPrepared = near;
    nearPrepared.endpointHost = "192.168.1.3";
    EXPECT_EQ(prepared[0], (PreparedSite{nearPrepared, true, true, false}));
    EXPECT_EQ(prepared[1], (PreparedSite{away, false, false, false}));
    EXPECT_TRUE(prepared[1].tunnelled());
    SiteAccess offPrepared = off;
    offPrepared.endpointHost = "10.30.0.1";
    EXPECT_EQ(prepared[2], (PreparedSite{offPrepared, false, true, true}));
    EXPECT_FALSE(prepared[2].tunnelled());

    // The WireGuard peer of a locally reachable site is its LAN address, on the same port.
    JSONValue endpoint = ConfigBuilder::siteEndpoint(prepared[0].site, ConfigBuilder::siteTag(0));
    const JSONValue& peer = (*endpoint.find("peers")->array())[0];
    EXPECT_EQ(*peer.find("address"), JSONValue("192.168.1.3"));
    EXPECT_EQ(*peer.find("port"), JSONValue(51820));

    EXPECT_EQ(SitePrep::statuses(prepared), (std::vector<SiteStatus>{
                                                {1, "Site 1", SiteStatus::Mode::onSite, std::nullopt, true},
                                                {2, "Site 2", SiteStatus::Mode::tunnel, "198.51.100.7:51820", false},
                                                {3, "Site 3", SiteStatus::Mode::off, std::nullopt, true},
                                            }));
}

TEST(SitePrep, StatusesAndModes) {
    PreparedSite both{site(4, {}), true, false, true};  // disabled wins over on site
    PreparedSite tunnel{site(5, {}), false, false, false};
    auto statuses = SitePrep::statuses({both, tunnel});
    EXPECT_EQ(statuses[0].mode, SiteStatus::Mode::off);
    EXPECT_EQ(statuses[0].endpoint, std::nullopt);
    EXPECT_EQ(statuses[1].endpoint, "198.51.100.7:51820");
    EXPECT_EQ(statuses[1].id(), 5);

    for (auto mode : {SiteStatus::Mode::tunnel, SiteStatus::Mode::onSite, SiteStatus::Mode::off}) {
        EXPECT_EQ(SiteStatus::modeFromRawValue(SiteStatus::rawValue(mode)), mode);
    }
    EXPECT_EQ(SiteStatus::rawValue(SiteStatus::Mode::onSite), "on_site");
    EXPECT_EQ(SiteStatus::modeFromRawValue("onSite"), std::nullopt);
}
