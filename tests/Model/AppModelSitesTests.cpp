// SPDX-License-Identifier: GPL-3.0-or-later
// Private sites while connected, with the real engine: switches read back from
// its control API, arrival on a site seen by the beacon across network
// namespaces, and a site added on the panel.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CorvaneCore/Config/SiteBeacon.hpp"
#include "Model/EngineSession.hpp"
#include "TestSupport/NetworkNamespaces.hpp"
#include "TestSupport/ProxyTunnel.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"

#include <boost/json/parse.hpp>

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;

namespace {

SiteAccess officeSite(std::int64_t id, const std::string& name, std::uint16_t port) {
    return {.siteId = id, .name = name, .endpointHost = "127.0.0.1", .endpointPort = port,
            .serverPublicKey = "dGhpcyBpcyBub3QgYSByZWFsIHB1YmxpYyBrZXkhIT0=", .cidrs = {"10.66.0.0/24"},
            .address = "10.66.1.2/32", .privateKey = "c2l0ZSBwcml2YXRlIGtleSBmb3IgdGhlIHRlc3QhISE="};
}

// What the engine's selector for site index `i` uses now.
std::optional<std::string> siteChoice(EngineSession& s, AppModel& m, int i) {
    auto client = m.clash;
    if (!client) return std::nullopt;
    ClashClient::ProxiesResponse table;
    try {
        table = s.run(client->proxies());
    } catch (const std::exception&) {
        return std::nullopt;
    }
    auto it = table.proxies.find("site-" + std::to_string(i) + "-switch");
    if (it == table.proxies.end()) return std::nullopt;
    return it->second.now;
}

// The chains of the connections the engine holds now, read from its control API.
std::vector<std::vector<std::string>> connectionChains(EngineSession& s, AppModel& m) {
    std::vector<std::vector<std::string>> chains;
    if (!m.clash) return chains;
    HttpRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(m.clash->port()) + "/connections";
    request.headers = {{"Authorization", "Bearer " + m.clash->secret()}};
    request.timeout = std::chrono::milliseconds(5000);
    const HttpResponse response = s.run(s.http.send(std::move(request)));
    const auto doc = boost::json::parse(response.body).as_object();
    if (const auto* list = doc.if_contains("connections"); list && list->is_array()) {
        for (const auto& connection : list->as_array()) {
            std::vector<std::string> chain;
            for (const auto& hop : connection.at("chains").as_array()) chain.emplace_back(hop.as_string());
            chains.push_back(std::move(chain));
        }
    }
    return chains;
}

std::size_t throughSite(const std::vector<std::vector<std::string>>& chains, const std::string& tag) {
    return static_cast<std::size_t>(std::count_if(chains.begin(), chains.end(), [&](const auto& chain) {
        return std::find(chain.begin(), chain.end(), tag) != chain.end();
    }));
}

// A site gateway's beacon: greets everyone who connects, from its own thread.
class Gateway {
public:
    Gateway(const std::string& address, std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd_, 8) != 0) {
            throw std::runtime_error("the gateway cannot listen");
        }
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) continue;
                ::send(client, SiteBeacon::greeting.data(), SiteBeacon::greeting.size(), MSG_NOSIGNAL);
                ::close(client);
            }
        });
    }
    ~Gateway() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }

private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

// The model in one namespace, the site's gateway in another (10.216.0.2). The
// device arrives on the site when its interface gets an address of the site's
// on-site network and the gateway answers on the LAN.
TEST(ModelWithEngine, ArrivingOnASiteSwitchesItDirectWithoutAReconnect) {
    if (!engineInstalled()) GTEST_SKIP() << "sing-box is not installed at " << enginePath();
    NetworkNamespaces namespaces("cvsite");
    std::string host, gateway;
    try {
        host = namespaces.add('h');
        gateway = namespaces.add('g');
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    ASSERT_EQ(NetworkNamespaces::run({
                  {"ip", "-n", host, "link", "add", "cvt0", "type", "veth", "peer", "name", "cvt1", "netns", gateway},
                  {"ip", "-n", host, "addr", "add", "10.216.0.1/30", "dev", "cvt0"},
                  {"ip", "-n", gateway, "addr", "add", "10.216.0.2/30", "dev", "cvt1"},
                  {"ip", "-n", host, "link", "set", "cvt0", "up"},
                  {"ip", "-n", gateway, "link", "set", "cvt1", "up"},
              }),
              "");
    inNetworkNamespace(host, [&] {
        SiteAccess site = officeSite(3, "Office", freeTcpPort());
        site.localEndpoints = {"10.216.0.2"};
        site.onsiteCidrs = {"10.77.0.0/24"};
        EngineSession s({.sites = {site}});
        AppModel& m = s.connected();
        ASSERT_TRUE(s.runUntil([&] { return siteChoice(s, m, 0) == "site-0"; }, 10s)) << "tunnelled while away";
        int connects = 0;
        NEVPNStatus last = NEVPNStatus::connected;
        Subscription counting = m.observe([&](const auto& snapshot) {
            if (snapshot->tunnelStatus != last && snapshot->tunnelStatus == NEVPNStatus::connecting) ++connects;
            last = snapshot->tunnelStatus;
        });

        {
            std::unique_ptr<Gateway> beacon;
            inNetworkNamespace(gateway, [&] { beacon = std::make_unique<Gateway>("10.216.0.2", site.endpointPort); });
            ASSERT_EQ(runCommand({"ip", "addr", "add", "10.77.0.9/24", "dev", "cvt0"}), "");
            ASSERT_TRUE(s.runUntil([&] { return siteChoice(s, m, 0) == "direct"; }, 10s)) << "on site: direct";
            ASSERT_EQ(m.siteStatuses->size(), 1u);
            EXPECT_EQ(m.siteStatuses->at(0).mode, SiteStatus::Mode::onSite);
            EXPECT_TRUE(m.activeSites.at(0).viaLocal);
            ASSERT_EQ(runCommand({"ip", "addr", "del", "10.77.0.9/24", "dev", "cvt0"}), "");
        }
        ASSERT_TRUE(s.runUntil([&] { return siteChoice(s, m, 0) == "site-0"; }, 10s)) << "away again: tunnelled";
        EXPECT_EQ(m.siteStatuses->at(0).mode, SiteStatus::Mode::tunnel);

        // A connection into the site's network runs through its endpoint (the gateway never
        // answers, so it stays open while the engine dials).
        ProxyTunnel intoSite(s.proxyPort, "any", "any", "10.66.0.5", 80);
        ASSERT_TRUE(s.runUntil([&] { return throughSite(connectionChains(s, m), "site-0") > 0; }, 5s))
            << "no connection through the site's endpoint";
        m.setSiteEnabled(3, false);  // the user's switch, read back from the engine
        ASSERT_TRUE(s.runUntil([&] { return siteChoice(s, m, 0) == "direct"; }, 5s));
        // Switched off, the site's connections are closed, not left on the endpoint.
        EXPECT_TRUE(s.runUntil([&] { return throughSite(connectionChains(s, m), "site-0") == 0; }, 2s))
            << ::testing::PrintToString(connectionChains(s, m));
        m.setSiteEnabled(3, true);
        ASSERT_TRUE(s.runUntil([&] { return siteChoice(s, m, 0) == "site-0"; }, 5s));
        EXPECT_EQ(connects, 0) << "none of this reconnects";
        EXPECT_EQ(m.errorMessage.get(), std::nullopt);
    });
}

TEST(ModelWithEngine, ASiteAddedOrTheLastOneRemovedOnThePanelReconnectsOnce) {
    if (!engineInstalled()) GTEST_SKIP() << "sing-box is not installed at " << enginePath();
    const SiteAccess office = officeSite(3, "Office", freeTcpPort());
    EngineSession s({.sites = {office}});
    AppModel& m = s.connected();
    ASSERT_TRUE(s.runUntil([&] { return siteChoice(s, m, 0) == "site-0"; }, 10s));
    int connects = 0;
    NEVPNStatus last = NEVPNStatus::connected;
    Subscription counting = m.observe([&](const auto& snapshot) {
        if (snapshot->tunnelStatus != last && snapshot->tunnelStatus == NEVPNStatus::connecting) ++connects;
        last = snapshot->tunnelStatus;
    });
    SiteAccess lab = officeSite(9, "Lab", freeTcpPort());
    lab.cidrs = {"10.67.0.0/24"};
    s.setSites({office, lab});  // the panel lists it from now on
    ASSERT_TRUE(s.runUntil([&] { return m.activeSites.size() == 2 && m.tunnel.status() == NEVPNStatus::connected &&
                                        !m.connectInFlight; }, 30s));
    ASSERT_TRUE(s.runUntil([&] { return m.clash && siteChoice(s, m, 1) == "site-1"; }, 10s));
    s.runFor(3s);  // three more watch passes
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(m.tunnel.status(), NEVPNStatus::connected);

    // With no site left the running engine would still route their networks.
    s.setSites({});
    ASSERT_TRUE(s.runUntil([&] { return m.activeSites.empty() && connects == 2 &&
                                        m.tunnel.status() == NEVPNStatus::connected && !m.connectInFlight && m.clash; },
                           30s))
        << "connects: " << connects;
    ASSERT_TRUE(s.runUntil([&] { return m.activeOutbound->has_value(); }, 10s));
    EXPECT_EQ(siteChoice(s, m, 0), std::nullopt) << "the rebuilt engine has no site";
    EXPECT_TRUE(m.siteStatuses->empty());
    s.runFor(3s);
    EXPECT_EQ(connects, 2);
    EXPECT_EQ(m.tunnel.status(), NEVPNStatus::connected);
}
