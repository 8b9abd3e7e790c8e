// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CorvaneCore/Config/IPv4Prefix.hpp"
#include "CorvaneCore/Config/SiteBeacon.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "TestSupport/NetworkNamespaces.hpp"

using namespace corvane;
using namespace corvane::testing;
namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

// A listening TCP socket on `address` with a port the kernel picks.
int listenOn(const char* address, std::uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 8) != 0) {
        throw std::runtime_error(std::string("cannot listen on ") + address + ": " + std::strerror(errno));
    }
    socklen_t length = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length);
    *port = ntohs(sa.sin_port);
    return fd;
}

// What a scripted gateway sends: pieces, each after its pause; then it either
// closes its side or stays silent, and in both cases reads until the client is gone.
struct Script {
    std::vector<std::pair<std::chrono::milliseconds, std::string>> pieces;
    bool closeAfterSending = true;
};

struct ListenerState {
    std::atomic<int> accepted{0};
    std::atomic<int> finished{0};
    std::atomic<std::size_t> bytesFromClient{0};
};

Async<void> serveConnection(tcp::socket socket, Script script, ListenerState* state) {
    for (const auto& [pause, text] : script.pieces) {
        if (pause.count() > 0) co_await sleepFor(pause);
        co_await asio::async_write(socket, asio::buffer(text), asio::use_awaitable);
    }
    boost::system::error_code ignored;
    if (script.closeAfterSending) socket.shutdown(tcp::socket::shutdown_send, ignored);
    char buffer[256];
    for (;;) {
        auto [error, n] = co_await socket.async_read_some(asio::buffer(buffer), asio::as_tuple(asio::use_awaitable));
        state->bytesFromClient += n;
        if (error) break;
    }
    ++state->finished;
}

Async<void> serve(tcp::acceptor* acceptor, Script script, ListenerState* state) {
    for (;;) {
        auto [error, socket] = co_await acceptor->async_accept(asio::as_tuple(asio::use_awaitable));
        if (error) co_return;
        ++state->accepted;
        asio::co_spawn(acceptor->get_executor(), serveConnection(std::move(socket), script, state), asio::detached);
    }
}

struct Outcome {
    bool answered = false;
    std::chrono::steady_clock::duration elapsed{};
};

Async<void> ask(std::string host, std::uint16_t port, ListenerState* state, tcp::acceptor* acceptor, Outcome* outcome) {
    auto start = std::chrono::steady_clock::now();
    outcome->answered = co_await SiteBeacon::answers(host, port);
    outcome->elapsed = std::chrono::steady_clock::now() - start;
    // Give the gateway a moment to see the client leave, then stop listening.
    for (int i = 0; i < 100 && state && state->finished < state->accepted; ++i) co_await sleepFor(10ms);
    if (acceptor) acceptor->close();
}

// Asks the beacon from inside `clientNamespace` about a listener made in `listenerNamespace`.
Outcome probe(const std::string& clientNamespace, const std::string& listenerNamespace, const char* listenAddress,
              const std::string& askHost, const Script& script, ListenerState& state) {
    std::uint16_t port = 0;
    int fd = -1;
    inNetworkNamespace(listenerNamespace, [&] { fd = listenOn(listenAddress, &port); });
    Outcome outcome;
    inNetworkNamespace(clientNamespace, [&] {
        asio::io_context io;
        tcp::acceptor acceptor(io);
        acceptor.assign(tcp::v4(), fd);
        asio::co_spawn(io, serve(&acceptor, script, &state), asio::detached);
        asio::co_spawn(io, ask(askHost, port, &state, &acceptor, &outcome), asio::detached);
        io.run();
    });
    return outcome;
}

// Two network namespaces joined by a veth pair: 10.213.0.1/30 in the client's,
// 10.213.0.2/30 in the gateway's. Nothing outside them is touched.
class SiteBeaconNamespaces : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        namespaces_ = std::make_unique<NetworkNamespaces>("cvbeacon");
        try {
            client_ = namespaces_->add('c');
            gateway_ = namespaces_->add('g');
        } catch (const std::exception& e) {
            skipReason_ = e.what();
            return;
        }
        setupError_ = NetworkNamespaces::run({
            {"ip", "-n", client_, "link", "add", "cvb0", "type", "veth", "peer", "name", "cvb1", "netns", gateway_},
            {"ip", "-n", client_, "addr", "add", "10.213.0.1/30", "dev", "cvb0"},
            {"ip", "-n", gateway_, "addr", "add", "10.213.0.2/30", "dev", "cvb1"},
            {"ip", "-n", client_, "link", "set", "cvb0", "up"},
            {"ip", "-n", gateway_, "link", "set", "cvb1", "up"},
        });
    }

    static void TearDownTestSuite() { namespaces_.reset(); }

    void SetUp() override {
        if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
        ASSERT_TRUE(setupError_.empty()) << setupError_;
    }

    static inline std::unique_ptr<NetworkNamespaces> namespaces_;
    static inline std::string client_, gateway_, skipReason_, setupError_;
};

const std::string kBanner(SiteBeacon::greeting);

}  // namespace

TEST_F(SiteBeaconNamespaces, AnswersFollowTheBanner) {
    struct Case { const char* name; Script script; bool answered; };
    const Case cases[] = {
        {"banner in two pieces", {{{0ms, kBanner.substr(0, 10)}, {80ms, kBanner.substr(10)}}}, true},
        {"banner and more in one piece", {{{0ms, kBanner + "welcome, and some more text after the banner"}}}, true},
        {"banner then silence", {{{0ms, kBanner}}, false}, true},
        {"another version", {{{0ms, "corvane-site-gateway/2\n"}}}, false},
        {"no final line feed", {{{0ms, "corvane-site-gateway/1"}}}, false},
        {"banner after other bytes", {{{0ms, "x" + kBanner}}}, false},
        {"64 bytes of something else, connection kept open", {{{0ms, std::string(64, 'z')}}, false}, false},
        {"closes at once", {{}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ListenerState state;
        Outcome outcome = probe(client_, gateway_, "10.213.0.2", "10.213.0.2", c.script, state);
        EXPECT_EQ(outcome.answered, c.answered);
        EXPECT_EQ(state.accepted, 1);
        EXPECT_EQ(state.bytesFromClient, 0u) << "the beacon sends nothing";
        // Every case ends on the banner, a close or the 64-byte limit, well before the time limit.
        EXPECT_LT(outcome.elapsed, SiteBeacon::timeout);
    }
}

TEST_F(SiteBeaconNamespaces, ASilentGatewayTimesOutAndAClosedPortFailsAtOnce) {
    ListenerState silent;
    Outcome outcome = probe(client_, gateway_, "10.213.0.2", "10.213.0.2", Script{{}, false}, silent);
    EXPECT_FALSE(outcome.answered);
    EXPECT_EQ(silent.accepted, 1);
    EXPECT_GE(outcome.elapsed, SiteBeacon::timeout - 50ms);
    EXPECT_LT(outcome.elapsed, 3s);

    // A port nobody listens on any more: refused by the peer.
    std::uint16_t port = 0;
    inNetworkNamespace(gateway_, [&] { ::close(listenOn("10.213.0.2", &port)); });
    bool answered = true;
    auto start = std::chrono::steady_clock::now();
    inNetworkNamespace(client_, [&] { answered = runToCompletion(SiteBeacon::answers("10.213.0.2", port)); });
    EXPECT_FALSE(answered);
    EXPECT_LT(std::chrono::steady_clock::now() - start, SiteBeacon::timeout);
}

TEST_F(SiteBeaconNamespaces, TheDeviceNeverAnswersForAGateway) {
    // Listeners that would greet correctly, on the client's own veth address and on its loopback.
    for (const char* address : {"10.213.0.1", "127.0.0.1"}) {
        SCOPED_TRACE(address);
        ListenerState state;
        Outcome outcome = probe(client_, client_, address, address, Script{{{0ms, kBanner}}}, state);
        EXPECT_FALSE(outcome.answered);
        EXPECT_EQ(state.accepted, 0) << "no connection may be made";
    }
    inNetworkNamespace(client_, [] {
        EXPECT_TRUE(SiteBeacon::isDeliveredLocally(*IPv4Prefix::parseAddress("10.213.0.1")));
        EXPECT_TRUE(SiteBeacon::isDeliveredLocally(*IPv4Prefix::parseAddress("127.8.9.10")));
        EXPECT_TRUE(SiteBeacon::isDeliveredLocally(*IPv4Prefix::parseAddress("0.0.0.0")));
        EXPECT_FALSE(SiteBeacon::isDeliveredLocally(*IPv4Prefix::parseAddress("10.213.0.2")));
    });
}

TEST_F(SiteBeaconNamespaces, OnlyPlainIPv4AddressesAreTried) {
    for (const char* host : {"10.213.0.2/32", "gw.example.net", "::ffff:10.213.0.2", " 10.213.0.2", "10.213.0.02x"}) {
        SCOPED_TRACE(host);
        ListenerState state;
        Outcome outcome = probe(client_, gateway_, "10.213.0.2", host, Script{{{0ms, kBanner}}}, state);
        EXPECT_FALSE(outcome.answered);
        EXPECT_EQ(state.accepted, 0);
    }
    bool answered = true;
    inNetworkNamespace(client_, [&] { answered = runToCompletion(SiteBeacon::answers("10.213.0.2", 0)); });
    EXPECT_FALSE(answered);
}

// Needs no namespace: loopback is refused wherever the tests run.
TEST(SiteBeacon, LoopbackIsRefusedWithoutConnecting) {
    ListenerState state;
    Outcome outcome = probe("", "", "127.0.0.1", "127.0.0.1", Script{{{0ms, kBanner}}}, state);
    EXPECT_FALSE(outcome.answered);
    EXPECT_EQ(state.accepted, 0);
}
