// SPDX-License-Identifier: GPL-3.0-or-later
// Sharing the tunnel on the LAN with a device in another network namespace,
// and an engine that the tunnel service restarts on another port.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "CorvaneCore/Support/Base64.hpp"
#include "Model/EngineSession.hpp"
#include "Model/ModelFixture.hpp"
#include "TestSupport/NetworkNamespaces.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;

namespace {

// A TCP connection from the calling thread's namespace; every wait ends after five seconds.
class Connection {
public:
    Connection(const std::string& address, std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval timeout{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            throw std::runtime_error("cannot connect to " + address + ": " + std::strerror(errno));
        }
    }
    ~Connection() { ::close(fd_); }
    void send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    std::string receive(std::size_t count) {  // up to `count` bytes, less when the peer closes
        std::string data;
        while (data.size() < count) {
            char chunk[4096];
            ssize_t n = ::recv(fd_, chunk, std::min(sizeof chunk, count - data.size()), 0);
            if (n <= 0) break;
            data.append(chunk, static_cast<std::size_t>(n));
        }
        return data;
    }
    std::string receiveAll() { return receive(1 << 20); }

private:
    int fd_ = -1;
};

std::string getRequest(std::uint16_t targetPort, bool absolute) {
    const std::string host = "127.0.0.1:" + std::to_string(targetPort);
    return "GET " + (absolute ? "http://" + host : "") + "/ HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n";
}

// A plain HTTP request through the shared proxy; the whole answer.
std::string httpThroughProxy(const std::string& proxy, std::uint16_t targetPort, std::optional<std::string> password) {
    Connection c(proxy, 1080);
    std::string request = getRequest(targetPort, true);
    if (password) request += "Proxy-Authorization: Basic " + base64Encode("corvane:" + *password) + "\r\n";
    c.send(request + "\r\n");
    return c.receiveAll();
}

// The same through SOCKS5 with a username and password (or offering no login at all).
std::string socksThroughProxy(const std::string& proxy, std::uint16_t targetPort, std::optional<std::string> password) {
    Connection c(proxy, 1080);
    c.send(password ? std::string("\x05\x01\x02", 3) : std::string("\x05\x01\x00", 3));
    const std::string method = c.receive(2);
    if (method != std::string("\x05\x02", 2)) return "method " + std::to_string(method.size() > 1 ? (unsigned char)method[1] : -1);
    const std::string user = "corvane";
    c.send(std::string("\x01", 1) + char(user.size()) + user + char(password->size()) + *password);
    const std::string login = c.receive(2);
    if (login != std::string("\x01\x00", 2)) return "login refused";
    std::string connect("\x05\x01\x00\x01\x7f\x00\x00\x01", 8);
    connect += char(targetPort >> 8);
    connect += char(targetPort & 0xff);
    c.send(connect);
    const std::string reply = c.receive(10);
    if (reply.size() != 10 || reply[1] != 0) return "connect refused";
    c.send(getRequest(targetPort, false) + "\r\n");
    return c.receiveAll();
}

bool reachesTarget(const std::string& answer) {
    return answer.starts_with("HTTP/1.1 200") && answer.ends_with("fleet");
}

}  // namespace

// The model and its engine in one namespace, a device of the same LAN in
// another, joined by a veth pair (10.215.0.1/30 and 10.215.0.2/30).
TEST(ModelWithEngine, SharingServesTheLanWithTheCurrentPasswordOnly) {
    if (!engineInstalled()) GTEST_SKIP() << "sing-box is not installed at " << enginePath();
    NetworkNamespaces namespaces("cvshare");
    std::string host, device;
    try {
        host = namespaces.add('h');
        device = namespaces.add('d');
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    ASSERT_EQ(NetworkNamespaces::run({
                  {"ip", "-n", host, "link", "add", "cvs0", "type", "veth", "peer", "name", "cvs1", "netns", device},
                  {"ip", "-n", host, "addr", "add", "10.215.0.1/30", "dev", "cvs0"},
                  {"ip", "-n", device, "addr", "add", "10.215.0.2/30", "dev", "cvs1"},
                  {"ip", "-n", host, "link", "set", "cvs0", "up"},
                  {"ip", "-n", device, "link", "set", "cvs1", "up"},
              }),
              "");
    inNetworkNamespace(host, [&] {
        EngineSession s({.lanAddress = "10.215.0.1"});
        AppModel& off = s.makeModel();
        s.run(off.tunnel.load());
        off.setLanShare(true);  // while disconnected: only stored
        s.runFor(100ms);
        EXPECT_FALSE(off.connectInFlight.get());
        EXPECT_NE(off.tunnel.status(), NEVPNStatus::connecting);
        EXPECT_TRUE(s.settings->values().at("lan_share").as_bool());

        AppModel& m = s.connected();
        ASSERT_EQ(m.sharingOn.get(), std::optional<std::string>("10.215.0.1"))
            << "lanShare " << m.lanShare.get() << " status " << rawValue(m.status()) << " error "
            << m.errorMessage->value_or("-") << " lan " << m.lanAddress->value_or("-");
        const std::uint16_t target = s.fleet.httpTarget().port();
        const std::string oldPassword = m.lanSharePassword;
        inNetworkNamespace(device, [&] {
            EXPECT_TRUE(reachesTarget(httpThroughProxy("10.215.0.1", target, oldPassword)));
            EXPECT_TRUE(reachesTarget(socksThroughProxy("10.215.0.1", target, oldPassword)));
            EXPECT_TRUE(httpThroughProxy("10.215.0.1", target, std::nullopt).starts_with("HTTP/1.1 407"));
            EXPECT_EQ(socksThroughProxy("10.215.0.1", target, std::nullopt), "method 255");
        });

        m.regenerateLanSharePassword();  // reconnects once with the new password
        ASSERT_TRUE(s.runUntil([&] { return m.connectInFlight.get(); }, 5s));
        ASSERT_TRUE(s.runUntil([&] { return !m.connectInFlight && m.tunnel.status() == NEVPNStatus::connected; }, 60s));
        const std::string newPassword = m.lanSharePassword;
        ASSERT_NE(newPassword, oldPassword);
        inNetworkNamespace(device, [&] {
            EXPECT_TRUE(httpThroughProxy("10.215.0.1", target, oldPassword).starts_with("HTTP/1.1 407"));
            EXPECT_EQ(socksThroughProxy("10.215.0.1", target, oldPassword), "login refused");
            EXPECT_TRUE(reachesTarget(httpThroughProxy("10.215.0.1", target, newPassword)));
            EXPECT_TRUE(reachesTarget(socksThroughProxy("10.215.0.1", target, newPassword)));
        });
    });
}

TEST_F(ModelTest, AnEngineRestartedOnAnotherPortIsFollowedByTheNextFailingPoll) {
    if (!engineInstalled()) GTEST_SKIP() << "sing-box is not installed at " << enginePath();
    // Two real engines stand for the one the service runs before and after its restart:
    // the service itself keeps its engine's port for the engine's life.
    Fleet before, after;
    std::atomic<VpsServer*> running{&before.vps()};
    tunnelPlatform->profiles.push_back({.identifier = "p", .providerBundleIdentifier = std::string(TunnelIPC::providerBundleIdentifier)});
    tunnelPlatform->statuses["p"] = NEVPNStatus::connected;
    tunnelPlatform->provider = [&](const std::string& message) -> std::optional<std::string> {
        if (message.find("status") == std::string::npos) return std::nullopt;
        VpsServer* engine = running;
        return encodeJSON(TunnelIPC::StatusReply{.clashPort = engine->controlPort(), .clashSecret = engine->controlSecret()});
    };
    AppModel& m = make([&](AppModelParts& p) {
        p.timings.proxyPollFastInterval = 200ms;
        p.timings.proxyPollInterval = 200ms;
        p.timings.healthCheckPeriod = 1h;
        p.deployment.urlTestProbeURL = before.probeURL();
        p.deployment.reachabilityProbeURLs = {before.probeURL()};
    });
    run(m.tunnel.load());  // connected: the live state begins
    ASSERT_TRUE(runUntil([&] { return m.clash && !m.trafficHistory->empty(); }, 10s));
    EXPECT_EQ(m.clash->port(), before.vps().controlPort());
    const auto generation = m.selectionGeneration;
    const auto firstClient = m.clash;

    running = &after.vps();
    before.server().stop();
    ASSERT_TRUE(runUntil([&] { return m.clash && m.clash->port() == after.vps().controlPort(); }, 10s));
    EXPECT_NE(m.clash, firstClient) << "a new client";
    EXPECT_EQ(m.selectionGeneration, generation + 1) << "a new session for pending route work";
    EXPECT_TRUE(m.trafficHistory->empty()) << "a fresh history";
    EXPECT_TRUE(m.healthTask.has_value()) << "health checks begin again";
    EXPECT_TRUE(runUntil([&] { return !m.trafficHistory->empty(); }, 10s)) << "samples of the new engine";
}
