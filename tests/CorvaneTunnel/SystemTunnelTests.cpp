// SPDX-License-Identifier: GPL-3.0-or-later
// corvane-tunnel in system mode, as root, with a real TUN interface: inside two
// network namespaces the test makes (a client and a server joined by a veth
// pair), never on the machine's own routing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Corvane/Diagnostics/DiagnosticsReporter.hpp"
#include "CorvaneCore/Diagnostics/DiagnosticQueue.hpp"
#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Platform/FileSettingsStore.hpp"
#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "CorvaneCore/Support/FileDescriptor.hpp"
#include "CorvaneTunnel/KillSwitch.hpp"
#include "tools/fleet/BackgroundProcess.hpp"
#include "TestSupport/NetworkNamespaces.hpp"
#include "TestSupport/ServiceClient.hpp"
#include "TestSupport/SocketAddress.hpp"
#include "tools/fleet/TempDir.hpp"
#include "tools/fleet/Engine.hpp"
#include "tools/fleet/Fleet.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;
using namespace std::chrono_literals;

namespace {

// A web server on every address of a namespace that notes who connected.
class PeerRecordingTarget {
public:
    explicit PeerRecordingTarget(const std::string& ns) {
        inNetworkNamespace(ns, [&] {
            fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            socklen_t length = sizeof addr;
            if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 8) != 0 ||
                ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
                throw std::runtime_error(std::string("cannot listen: ") + std::strerror(errno));
            }
            port_ = ntohs(addr.sin_port);
        });
        thread_ = std::thread([this] { serve(); });
    }
    ~PeerRecordingTarget() {
        ::shutdown(fd_, SHUT_RDWR);  // wakes the accept
        thread_.join();
        ::close(fd_);
    }

    std::uint16_t port() const { return port_; }
    std::vector<std::string> peers() const {
        std::lock_guard lock(mutex_);
        return peers_;
    }

private:
    void serve() {
        for (;;) {
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            int connection = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
            if (connection < 0) return;
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
            {
                std::lock_guard lock(mutex_);
                peers_.push_back(text);
            }
            timeval tv{5, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            std::string request;
            char buffer[1024];
            ssize_t n;
            while (request.find("\r\n\r\n") == std::string::npos && (n = ::recv(connection, buffer, sizeof buffer, 0)) > 0) {
                request.append(buffer, static_cast<std::size_t>(n));
            }
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\ntarget";
            (void)!::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(connection);
        }
    }

    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> peers_;
};

// GET / from the calling thread's namespace; the body, or what failed.
std::string plainGet(const std::string& address, std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::string why = std::string("connect failed: ") + std::strerror(errno);
        ::close(fd);
        return why;
    }
    const std::string request = "GET / HTTP/1.1\r\nHost: " + address + "\r\nConnection: close\r\n\r\n";
    (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    char buffer[1024];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    auto body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "no HTTP reply: " + reply : reply.substr(body + 4);
}

// The fields of /proc/PID/status, values without the leading white space.
std::map<std::string, std::string> processStatus(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::map<std::string, std::string> fields;
    std::string line;
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        auto value = line.find_first_not_of(" \t", colon + 1);
        fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
    }
    return fields;
}

// The one child of `pid` (the engine is started from one of the service's threads).
pid_t childOf(pid_t pid) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream in(task.path() / "children");
        pid_t child = 0;
        if (in >> child && child > 0) return child;
    }
    return 0;
}

bool linkExists(const std::string& ns, const std::string& name) {
    return runCommand({"ip", "-n", ns, "link", "show", name}).empty();
}

// The command that runs corvane-tunnel --system in `client`, its engine as
// "nobody" (the package's own account otherwise), which must reach its program
// and its folder under `dir`.
std::vector<std::string> systemServiceCommand(const std::string& client, const std::filesystem::path& dir,
                                              const std::filesystem::path& socket) {
    std::filesystem::permissions(dir, std::filesystem::perms(0755));
    const auto engine = dir / "sing-box";
    if (!std::filesystem::exists(engine)) std::filesystem::copy_file(enginePath(), engine);
    std::vector<std::string> command{"/usr/sbin/ip", "netns", "exec", client, CORVANE_TUNNEL_PATH, "--system", "--socket",
                                     socket.string(), "--state-dir", (dir / "state").string(), "--engine",
                                     engine.string(), "--engine-user", "nobody"};
    // Debian's udev lets every account open /dev/net/tun (0666); where this machine keeps it root's, the
    // service gets such a node in a mount namespace of its own, leaving the machine's as it is.
    struct stat tun {};
    if (::stat("/dev/net/tun", &tun) == 0 && (tun.st_mode & 0006) != 0006) {
        std::filesystem::create_directories(dir / "dev");
        command.insert(command.begin(), {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                                         R"(mount -t tmpfs -o mode=0755 tun "$0/dev" && mknod -m 666 "$0/dev/tun" c 10 200 &&)"
                                         R"( mount --bind "$0/dev/tun" /dev/net/tun && exec "$@")",
                                         dir.string()});
    }
    return command;
}

// A guest (a container or VM) in `guest` that `client` routes: the guest is
// `subnet`.2, the client `subnet`.1 and its default route.
std::vector<std::vector<std::string>> routedGuest(const std::string& client, const std::string& guest, const std::string& subnet) {
    return {
        {"ip", "-n", client, "link", "add", "cvg0", "type", "veth", "peer", "name", "cvg1", "netns", guest},
        {"ip", "-n", client, "addr", "add", subnet + ".1/24", "dev", "cvg0"},
        {"ip", "-n", guest, "addr", "add", subnet + ".2/24", "dev", "cvg1"},
        {"ip", "-n", client, "link", "set", "cvg0", "up"},
        {"ip", "-n", guest, "link", "set", "cvg1", "up"},
        {"ip", "-n", guest, "route", "add", "default", "via", subnet + ".1"},
        {"ip", "netns", "exec", client, "sysctl", "-qw", "net.ipv4.ip_forward=1"},
    };
}

// Waits until the service on `socket` answers hello; its reply, or "" after `limit`.
std::string awaitHello(BackgroundProcess& service, const std::filesystem::path& socket,
                       std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        std::string reply = rawExchange(socket, R"({"id":1,"op":"hello"})" "\n");
        if (reply.find(R"("mode":"system")") != std::string::npos) return reply;
        if (!service.isRunning() || std::chrono::steady_clock::now() >= deadline) return {};
        std::this_thread::sleep_for(20ms);
    }
}

}  // namespace

TEST(SystemModeTunnel, TrafficFromTheClientNamespaceTravelsThroughTheTunInterface) {
    if (::access(enginePath().c_str(), X_OK) != 0) GTEST_SKIP() << "sing-box is not installed at " << enginePath();
    if (::access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "this machine offers no TUN device (/dev/net/tun)";
    std::unique_ptr<NetworkNamespaces> namespaces;
    std::string server, client, guest;
    try {
        namespaces = std::make_unique<NetworkNamespaces>("cvtun");
        server = namespaces->add('s');
        client = namespaces->add('c');
        guest = namespaces->add('g');
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    // 203.0.113.10 is the server side's own (public-looking, so the tunnel routes it); the client reaches it
    // directly over the veth pair too, which shows who made each connection.
    ASSERT_EQ(NetworkNamespaces::run({
                  {"ip", "-n", client, "link", "add", "cvt0", "type", "veth", "peer", "name", "cvt1", "netns", server},
                  {"ip", "-n", client, "addr", "add", "10.214.0.2/30", "dev", "cvt0"},
                  {"ip", "-n", server, "addr", "add", "10.214.0.1/30", "dev", "cvt1"},
                  {"ip", "-n", client, "link", "set", "cvt0", "up"},
                  {"ip", "-n", server, "link", "set", "cvt1", "up"},
                  {"ip", "-n", client, "route", "add", "default", "via", "10.214.0.1"},
                  {"ip", "-n", server, "addr", "add", "203.0.113.10/32", "dev", "lo"},
              }),
              "");
    ASSERT_EQ(NetworkNamespaces::run(routedGuest(client, guest, "10.214.9")), "");

    std::unique_ptr<Fleet> fleet;
    inNetworkNamespace(server, [&] {
        fleet = std::make_unique<Fleet>("10.214.0.1", std::vector<std::string>{"10.214.0.0/30", "203.0.113.10/32"});
    });
    PeerRecordingTarget target(server);

    TempDir dir;
    const auto socket = dir.path() / "run" / "tunnel.sock";
    BackgroundProcess service(systemServiceCommand(client, dir.path(), socket), dir.path() / "service.log");
    std::unique_ptr<AppSide> app;
    auto log = [&] {
        std::string text = "service log:\n" + service.log();
        if (app) {
            if (auto lines = app->run(app->controller.send<TunnelIPC::LogsReply>(TunnelIPC::Request::logs(0)))) {
                text += "engine log:\n";
                for (const auto& l : lines->lines) text += l.line.level + " " + l.line.target + ": " + l.line.message + "\n";
            }
        }
        return text + "fleet log:\n" + fleet->server().log();
    };
    ASSERT_NE(awaitHello(service, socket), "") << log();

    app = std::make_unique<AppSide>(socket);
    app->run(app->controller.load());
    ConfigBuilder::Inputs inputs;
    inputs.shares = {ShareUrlParser::parse(fleet->realityUrl())};
    inputs.smartRouting = false;
    inputs.urlTestURL = fleet->probeURL();
    inputs.resolvers = {.proxy = "127.0.0.1", .direct = "127.0.0.1"};
    app->run(app->controller.connect(ConfigBuilder::build(inputs).serialize(), "panel.example.com"));
    ASSERT_TRUE(app->waitFor([&] { return app->controller.status() == NEVPNStatus::connected; }, 60s))
        << app->controller.lastError().value_or("") << "\n" << log();
    EXPECT_TRUE(linkExists(client, "Corvane"));

    // The engine: nobody's, with only the two network capabilities, for good.
    const auto status = processStatus(childOf(service.pid()));
    const std::string both = "0000000000003000";  // CAP_NET_ADMIN (12) and CAP_NET_RAW (13)
    EXPECT_EQ(status.at("Uid"), "65534\t65534\t65534\t65534");
    EXPECT_EQ(status.at("Gid"), "65534\t65534\t65534\t65534");
    EXPECT_EQ(status.at("Groups"), "");
    for (const char* set : {"CapEff", "CapPrm", "CapInh", "CapAmb", "CapBnd"}) EXPECT_EQ(status.at(set), both) << set;
    EXPECT_EQ(status.at("NoNewPrivs"), "1");
    struct stat folder {};
    ASSERT_EQ(::stat((dir.path() / "state" / "engine").c_str(), &folder), 0);
    EXPECT_EQ(folder.st_uid, 65534u);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);

    std::string body;
    inNetworkNamespace(client, [&] { body = plainGet("203.0.113.10", target.port()); });
    EXPECT_EQ(body, "target") << log();
    ASSERT_EQ(target.peers().size(), 1u);
    EXPECT_NE(target.peers()[0], "10.214.0.2") << "the request bypassed the tunnel";
    // What the client routes for its guest goes through the tunnel as well.
    inNetworkNamespace(guest, [&] { body = plainGet("203.0.113.10", target.port()); });
    EXPECT_EQ(body, "target") << log();
    ASSERT_EQ(target.peers().size(), 2u);
    EXPECT_NE(target.peers()[1], "10.214.9.2") << "the guest's request bypassed the tunnel";
    EXPECT_NE(target.peers()[1], "10.214.0.2") << "the guest's request bypassed the tunnel";

    app->controller.disconnect();
    ASSERT_TRUE(app->waitFor([&] { return app->controller.status() == NEVPNStatus::disconnected; }, 15s));
    EXPECT_FALSE(linkExists(client, "Corvane")) << "the TUN interface outlived the tunnel";
    inNetworkNamespace(client, [&] { body = plainGet("203.0.113.10", target.port()); });
    EXPECT_EQ(body, "target");
    ASSERT_EQ(target.peers().size(), 3u);
    EXPECT_EQ(target.peers()[2], "10.214.0.2") << "without the tunnel the client connects itself";
}

namespace {

// Counts probe packets that reach the server namespace's end of the veth pair.
// The probes are addressed to the server namespace's own addresses: through
// the tunnel they arrive as the fleet's connections to its loopback, so one
// seen on the wire left the client outside the tunnel.
class LeakCounter {
public:
    LeakCounter(const std::string& ns, const std::string& interface) {
        inNetworkNamespace(ns, [&] {
            fd_ = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL));
            sockaddr_ll addr{};
            addr.sll_family = AF_PACKET;
            addr.sll_protocol = htons(ETH_P_ALL);
            addr.sll_ifindex = static_cast<int>(::if_nametoindex(interface.c_str()));
            if (fd_ < 0 || addr.sll_ifindex == 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
                throw std::runtime_error(std::string("cannot capture on ") + interface + ": " + std::strerror(errno));
            }
        });
        thread_ = std::thread([this] { capture(); });
    }
    ~LeakCounter() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }

    // The probes seen since the last call, by kind.
    std::map<std::string, int> take() {
        std::this_thread::sleep_for(300ms);  // what is on the wire has arrived by now
        std::lock_guard lock(mutex_);
        return std::exchange(seen_, {});
    }

private:
    void capture() {
        unsigned char packet[2048];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            sockaddr_ll from{};
            socklen_t length = sizeof from;
            ssize_t n = ::recvfrom(fd_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING) continue;
            if (auto kind = classify(packet, static_cast<std::size_t>(n))) {
                std::lock_guard lock(mutex_);
                ++seen_[*kind];
            }
        }
    }

    static std::optional<std::string> classify(const unsigned char* p, std::size_t n) {
        auto port = [&](std::size_t at) { return at + 4 <= n ? (p[at + 2] << 8) | p[at + 3] : -1; };
        if (n >= 20 && (p[0] >> 4) == 4) {
            const std::size_t header = (p[0] & 15u) * 4u;
            char dst[INET_ADDRSTRLEN];
            ::inet_ntop(AF_INET, p + 16, dst, sizeof dst);
            const std::string to = dst;
            if (p[9] == IPPROTO_TCP && to == "203.0.113.10") {
                switch (port(header)) {
                case 81: return "bound to the uplink";
                case 82: return "routed guest";
                case 83: return "LAN share's port";
                default: return "TCP4";
                }
            }
            if (p[9] == IPPROTO_UDP && to == "203.0.113.53" && port(header) == 53) return "DNS";
            if (p[9] == IPPROTO_UDP && to == "203.0.113.10") return "UDP";
            if (p[9] == IPPROTO_ICMP && to == "203.0.113.10") return "ICMP";
        } else if (n >= 40 && (p[0] >> 4) == 6) {
            char dst[INET6_ADDRSTRLEN];
            ::inet_ntop(AF_INET6, p + 24, dst, sizeof dst);
            if (p[6] == IPPROTO_TCP && std::string(dst) == "2001:db8:215::10") return "TCP6";
        }
        return std::nullopt;
    }

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, int> seen_;
};

// One probe of each kind from the client namespace, and one from the guest
// namespace it routes; each socket stays open until the counter has looked.
// `lanShare`: the LAN share's address, which a probe binds with the share's port
// as any program may once the engine is gone.
std::vector<FileDescriptor> sendProbes(const std::string& client, const std::string& uplink, const std::string& guest,
                                       const std::string& lanShare) {
    std::vector<FileDescriptor> open;
    inNetworkNamespace(guest, [&] {
        FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_storage address = socketAddress("203.0.113.10", 82);
        ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), socketAddressLength(address));
        open.push_back(std::move(fd));
    });
    inNetworkNamespace(client, [&] {
        auto send = [&](int family, int type, int protocol, const char* to, std::uint16_t port, const std::string& device,
                        const char* from = nullptr, std::uint16_t fromPort = 0) {
            FileDescriptor fd(::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol));
            if (!device.empty()) ::setsockopt(fd.get(), SOL_SOCKET, SO_BINDTODEVICE, device.data(), device.size());
            if (from) {
                const int on = 1;
                ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
                sockaddr_storage at = socketAddress(from, fromPort);
                ::bind(fd.get(), reinterpret_cast<sockaddr*>(&at), socketAddressLength(at));  // taken while the engine runs
            }
            sockaddr_storage address = socketAddress(to, port);
            const socklen_t length = socketAddressLength(address);
            if (type == SOCK_STREAM) {
                ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length);
            } else if (protocol == IPPROTO_ICMP) {
                icmphdr echo{};
                echo.type = ICMP_ECHO;
                ::sendto(fd.get(), &echo, sizeof echo, 0, reinterpret_cast<sockaddr*>(&address), length);
            } else {
                // A DNS query for example.com, which serves as well for the plain UDP probe.
                static const unsigned char query[] = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 7, 'e', 'x', 'a', 'm',
                                                      'p', 'l', 'e', 3, 'c', 'o', 'm', 0, 0, 1, 0, 1};
                ::sendto(fd.get(), query, sizeof query, 0, reinterpret_cast<sockaddr*>(&address), length);
            }
            open.push_back(std::move(fd));
        };
        send(AF_INET, SOCK_STREAM, 0, "203.0.113.10", 80, "");
        send(AF_INET6, SOCK_STREAM, 0, "2001:db8:215::10", 80, "");
        send(AF_INET, SOCK_DGRAM, 0, "203.0.113.53", 53, "");
        send(AF_INET, SOCK_DGRAM, 0, "203.0.113.10", 9999, "");
        send(AF_INET, SOCK_RAW, IPPROTO_ICMP, "203.0.113.10", 0, "");
        send(AF_INET, SOCK_STREAM, 0, "203.0.113.10", 81, uplink);
        send(AF_INET, SOCK_STREAM, 0, "203.0.113.10", 83, "", lanShare.c_str(), static_cast<std::uint16_t>(ConfigBuilder::LanShare::port));
    });
    return open;
}

// The application model as the window runs it, signed out, beside the test's
// own controller on the same loop: it follows the tunnel the test drives, and
// what it publishes is what every view shows.
struct ObservingModel {
    ObservingModel(AppSide& app, const std::filesystem::path& socket, const std::filesystem::path& dir) {
        AppModelParts parts;
        parts.store = std::make_shared<InMemoryTokenStore>();
        parts.tunnelPlatform = std::make_shared<ServiceTunnelPlatform>(app.io.get_executor(), socket);
        parts.settings = std::make_shared<FileSettingsStore>(dir / "settings.json");
        parts.diagnostics = std::make_shared<DiagnosticsReporter>(dir / "queue");
        parts.hostName = [] { return std::optional<std::string>("test-laptop"); };
        parts.lanAddress = [] { return std::optional<std::string>(); };
        parts.selfUpdates = false;
        model = std::make_unique<AppModel>(app.io.get_executor(), std::move(parts));
        subscription = model->observe([this](const std::shared_ptr<const AppSnapshot>& s) { last = s; });
        app.run(model->start());
    }
    std::string title() const {
        return last ? statusTitle(last->status, last->trafficBlocked, last->lockdown && last->lockdown->enabled) : "nothing published";
    }
    // The hints of the reports the model queued (it has no panel to send them to).
    std::vector<DiagnosticHint> queuedHints(const std::filesystem::path& dir) const {
        std::vector<DiagnosticHint> hints;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir / "queue", ec)) {
            if (entry.path().extension() != ".json" || entry.path().filename().string().starts_with(".tmp-")) continue;
            std::ifstream in(entry.path());
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const auto queued = decodeJSON<QueuedBundle>(std::string_view(text));
            hints.insert(hints.end(), queued.report.hints.begin(), queued.report.hints.end());
        }
        return hints;
    }

    std::unique_ptr<AppModel> model;
    std::shared_ptr<const AppSnapshot> last;
    Subscription subscription;
};

std::string describe(const std::map<std::string, int>& seen) {
    std::string text;
    for (const auto& [kind, count] : seen) text += kind + " x" + std::to_string(count) + "; ";
    return text.empty() ? "nothing" : text;
}

}  // namespace

// The kill switch: from a connect until the user disconnects, nothing leaves
// the client outside the tunnel, whatever happens to the engine or the service.
TEST(SystemModeTunnel, NothingLeaksOutsideTheTunnelUntilTheUserDisconnects) {
    if (::access(enginePath().c_str(), X_OK) != 0) GTEST_SKIP() << "sing-box is not installed at " << enginePath();
    if (::access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "this machine offers no TUN device (/dev/net/tun)";
    std::unique_ptr<NetworkNamespaces> namespaces;
    std::string server, client, guest;
    try {
        namespaces = std::make_unique<NetworkNamespaces>("cvleak");
        server = namespaces->add('s');
        client = namespaces->add('c');
        guest = namespaces->add('g');
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    ASSERT_EQ(NetworkNamespaces::run({
                  {"ip", "-n", client, "link", "add", "cvk0", "type", "veth", "peer", "name", "cvk1", "netns", server},
                  {"ip", "-n", client, "addr", "add", "10.215.0.2/30", "dev", "cvk0"},
                  {"ip", "-n", server, "addr", "add", "10.215.0.1/30", "dev", "cvk1"},
                  {"ip", "-n", client, "addr", "add", "fd00:215::2/64", "dev", "cvk0", "nodad"},
                  {"ip", "-n", server, "addr", "add", "fd00:215::1/64", "dev", "cvk1", "nodad"},
                  {"ip", "-n", client, "link", "set", "cvk0", "up"},
                  {"ip", "-n", server, "link", "set", "cvk1", "up"},
                  {"ip", "-n", client, "route", "add", "default", "via", "10.215.0.1"},
                  {"ip", "-n", client, "-6", "route", "add", "default", "via", "fd00:215::1"},
                  {"ip", "-n", server, "addr", "add", "203.0.113.10/32", "dev", "lo"},
                  {"ip", "-n", server, "addr", "add", "203.0.113.53/32", "dev", "lo"},
                  {"ip", "-n", server, "addr", "add", "2001:db8:215::10/128", "dev", "lo"},
              }),
              "");
    ASSERT_EQ(NetworkNamespaces::run(routedGuest(client, guest, "10.215.9")), "");
    std::unique_ptr<Fleet> fleet;
    inNetworkNamespace(server, [&] {
        fleet = std::make_unique<Fleet>("10.215.0.1", std::vector<std::string>{"10.215.0.0/30", "203.0.113.0/24"});
    });
    LeakCounter wire(server, "cvk1");
    auto probe = [&] {
        auto open = sendProbes(client, "cvk0", guest, "10.215.0.2");
        return wire.take();
    };
    const std::vector<const char*> kinds = {"TCP4", "TCP6", "DNS", "UDP", "ICMP", "bound to the uplink", "routed guest",
                                            "LAN share's port"};

    // The client knows its router's IPv4 and IPv6 link addresses first (a fresh
    // link's IPv6 takes a moment), so that no probe waits for them into a later phase.
    for (int i = 0; i < 50; ++i) {
        const auto warm = probe();
        if (warm.count("TCP4") && warm.count("TCP6")) break;
    }
    // Without a tunnel every probe goes out, so the counter can see a leak at all.
    const auto control = probe();
    for (const char* kind : kinds) {
        EXPECT_GT(control.count(kind), 0u) << kind << " was not seen without a tunnel: " << describe(control);
    }

    TempDir dir;
    const auto socket = dir.path() / "run" / "tunnel.sock";
    const auto command = systemServiceCommand(client, dir.path(), socket);
    auto service = std::make_unique<BackgroundProcess>(command, dir.path() / "service.log");
    std::string history;
    auto log = [&] { return history + "service log:\n" + service->log(); };
    ASSERT_NE(awaitHello(*service, socket), "") << log();
    AppSide app(socket);
    app.run(app.controller.load());
    ConfigBuilder::Inputs inputs;
    inputs.shares = {ShareUrlParser::parse(fleet->realityUrl())};
    inputs.smartRouting = false;
    inputs.urlTestURL = fleet->probeURL();
    inputs.resolvers = {.proxy = "127.0.0.1", .direct = "127.0.0.1"};
    inputs.shareOverLanListen = "10.215.0.2";
    inputs.shareOverLanPassword = "leak-test-share";
    app.run(app.controller.connect(ConfigBuilder::build(inputs).serialize(), "panel.example.com"));
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }, 60s))
        << app.controller.lastError().value_or("") << "\n" << log();

    auto connected = probe();
    EXPECT_TRUE(connected.empty()) << "while connected: " << describe(connected);
    EXPECT_TRUE(app.controller.trafficBlocked());
    ObservingModel shown(app, socket, dir.path() / "app");
    EXPECT_TRUE(app.waitFor([&] { return shown.last && shown.last->trafficBlocked; }, 5s)) << shown.title();
    ASSERT_TRUE(shown.last);
    EXPECT_EQ(shown.last->killSwitch, KillSwitchState::blocking);
    EXPECT_EQ(shown.title(), "Connected");

    // A reconnect's stop keeps the block up until the next start.
    app.controller.disconnectForReconnect();
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::disconnected; }, 15s)) << log();
    auto betweenStarts = probe();
    EXPECT_TRUE(betweenStarts.empty()) << "between a reconnect's stop and start: " << describe(betweenStarts);
    app.run(app.controller.connect(ConfigBuilder::build(inputs).serialize(), "panel.example.com"));
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }, 60s))
        << app.controller.lastError().value_or("") << "\n" << log();

    const pid_t engine = childOf(service->pid());
    ASSERT_GT(engine, 0);
    ::kill(engine, SIGKILL);
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::disconnected; }, 15s)) << log();
    auto afterEngine = probe();
    EXPECT_TRUE(afterEngine.empty()) << "after the engine was killed: " << describe(afterEngine);
    EXPECT_TRUE(app.controller.trafficBlocked()) << "the app shows the block after a failure";
    EXPECT_TRUE(app.waitFor([&] { return shown.last->status == UiStatus::failed; }, 5s)) << shown.title();
    EXPECT_TRUE(shown.last->trafficBlocked);
    EXPECT_EQ(shown.title(), "Failed · traffic blocked until you reconnect or disconnect");
    // The model's report of the engine's end carries the block's counter (the probes between the starts were refused).
    std::optional<DiagnosticHint> killSwitchHint;
    app.waitFor([&] {
        for (const auto& hint : shown.queuedHints(dir.path() / "app")) {
            if (hint.kind == "kill_switch") killSwitchHint = hint;
        }
        return killSwitchHint.has_value();
    }, 10s);
    ASSERT_TRUE(killSwitchHint) << "no report with the kill switch's counter";
    ASSERT_TRUE(killSwitchHint->details.count("rejectedPackets"));
    const auto rejected = killSwitchHint->details.at("rejectedPackets").number();
    ASSERT_TRUE(rejected);
    EXPECT_GT(*rejected, 0);

    ::kill(service->pid(), SIGKILL);
    for (int i = 0; i < 200 && service->isRunning(); ++i) std::this_thread::sleep_for(10ms);
    auto afterService = probe();
    EXPECT_TRUE(afterService.empty()) << "while the service is down: " << describe(afterService);

    history = "first service's log:\n" + service->log();
    service = std::make_unique<BackgroundProcess>(command, dir.path() / "service-2.log");
    const std::string hello = awaitHello(*service, socket);
    ASSERT_NE(hello, "") << log();
    EXPECT_NE(hello.find(R"("blocking":true)"), std::string::npos) << "the restarted service says the block stands: " << hello;
    auto afterRestart = probe();
    EXPECT_TRUE(afterRestart.empty()) << "after the service restarted: " << describe(afterRestart);

    // A clean stop (systemctl restart, a package upgrade) while the session was
    // meant to be up keeps the block too.
    ::kill(service->pid(), SIGTERM);
    for (int i = 0; i < 500 && service->isRunning(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(service->isRunning());
    auto afterCleanStop = probe();
    EXPECT_TRUE(afterCleanStop.empty()) << "after a clean stop of the service: " << describe(afterCleanStop);
    history += "second service's log:\n" + service->log();
    service = std::make_unique<BackgroundProcess>(command, dir.path() / "service-3.log");
    ASSERT_NE(awaitHello(*service, socket).find(R"("blocking":true)"), std::string::npos) << log();

    // The app finds the new service by itself (once its loop notices the old one
    // is gone) and hears that the block stands; its disconnect lifts it.
    bool blockSeen = false;
    for (int i = 0; i < 100 && !blockSeen; ++i) {
        try {
            blockSeen = app.run(app.platform->request(ServiceRequest{.op = std::string(ServiceOp::hello)})).blocking.value_or(false);
        } catch (const std::exception&) {
            app.waitFor([] { return false; }, 100ms);
        }
    }
    EXPECT_TRUE(blockSeen);
    // The model found the new service too; the block it hears of still stands.
    EXPECT_TRUE(app.waitFor([&] { return shown.last->trafficBlocked; }, 10s)) << shown.title();
    // The user's disconnect of a tunnel that is already down: the service lifts
    // the block without a change of status, and the model publishes that alone.
    const std::uint64_t before = shown.last->version;
    app.run(shown.model->disconnect());
    EXPECT_EQ(shown.model->errorMessage.get(), std::nullopt);
    ASSERT_TRUE(app.waitFor([&] {
        return rawExchange(socket, R"({"id":2,"op":"hello"})" "\n").find(R"("blocking":false)") != std::string::npos;
    }, 15s)) << log();
    EXPECT_TRUE(app.waitFor([&] { return !app.controller.trafficBlocked(); }, 5s)) << "the app hears the block is lifted";
    EXPECT_TRUE(app.waitFor([&] { return !shown.last->trafficBlocked; }, 5s)) << shown.title();
    EXPECT_GT(shown.last->version, before);
    EXPECT_EQ(shown.last->killSwitch, KillSwitchState::armed);
    // Ended by the user, the failed session is over (published a turn of the loop after the stop's answer).
    EXPECT_TRUE(app.waitFor([&] { return shown.title() == "Disconnected"; }, 5s)) << shown.title();
    std::string tables;
    inNetworkNamespace(client, [&] { tables = runNftables("list tables"); });
    EXPECT_EQ(tables.find("corvane"), std::string::npos) << tables;
    const auto disconnected = probe();
    for (const char* kind : kinds) {
        EXPECT_GT(disconnected.count(kind), 0u) << kind << " after the disconnect: " << describe(disconnected);
    }

    // Always require the tunnel: blocked with no tunnel up, across a restart of
    // the service and a disconnect, until the setting is turned off.
    auto ask = [&](ServiceRequest request) {
        for (int i = 0; i < 100; ++i) {
            try {
                return app.run(app.platform->request(request));
            } catch (const std::exception&) {
                app.waitFor([] { return false; }, 100ms);  // the app finds a restarted service by itself
            }
        }
        return app.run(app.platform->request(request));
    };
    const auto lockdown = [](bool on) {
        return ServiceRequest{.op = std::string(ServiceOp::setLockdown), .options = std::map<std::string, std::string>{{"enabled", on ? "true" : "false"}}};
    };
    ServiceReply locked = ask(lockdown(true));
    EXPECT_TRUE(locked.ok) << (locked.error ? locked.error->localizedDescription : "");
    EXPECT_EQ(locked.lockdown, true);
    EXPECT_EQ(locked.blocking, true);
    auto lockedDown = probe();
    EXPECT_TRUE(lockedDown.empty()) << "disconnected with the tunnel always required: " << describe(lockedDown);

    ::kill(service->pid(), SIGTERM);
    for (int i = 0; i < 500 && service->isRunning(); ++i) std::this_thread::sleep_for(10ms);
    history += "third service's log:\n" + service->log();
    service = std::make_unique<BackgroundProcess>(command, dir.path() / "service-4.log");
    const std::string lockedHello = awaitHello(*service, socket);
    EXPECT_NE(lockedHello.find(R"("lockdown":true)"), std::string::npos) << lockedHello;
    auto lockedAfterRestart = probe();
    EXPECT_TRUE(lockedAfterRestart.empty()) << "a new service with the tunnel always required: " << describe(lockedAfterRestart);

    ask(ServiceRequest{.op = std::string(ServiceOp::hello)});
    app.run(app.controller.connect(ConfigBuilder::build(inputs).serialize(), "panel.example.com"));
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }, 60s))
        << app.controller.lastError().value_or("") << "\n" << log();
    auto lockedConnected = probe();
    EXPECT_TRUE(lockedConnected.empty()) << "connected with the tunnel always required: " << describe(lockedConnected);
    app.controller.disconnect();
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::disconnected; }, 15s)) << log();
    auto lockedDisconnected = probe();
    EXPECT_TRUE(lockedDisconnected.empty()) << "after a disconnect with the tunnel always required: " << describe(lockedDisconnected);

    // What the window shows, and its switch: the model turns the setting off.
    EXPECT_TRUE(app.waitFor([&] { return shown.last->lockdown && shown.last->lockdown->enabled && shown.last->trafficBlocked; }, 10s))
        << shown.title();
    EXPECT_TRUE(shown.title().ends_with("traffic blocked: the tunnel is always required")) << shown.title();
    app.run(shown.model->setLockdown(false, false));
    EXPECT_TRUE(app.waitFor([&] { return shown.last->lockdown && !shown.last->lockdown->enabled && !shown.last->trafficBlocked; }, 10s))
        << shown.title();
    EXPECT_EQ(shown.title().find("blocked"), std::string::npos) << shown.title();
    const auto free = probe();
    for (const char* kind : kinds) {
        EXPECT_GT(free.count(kind), 0u) << kind << " once the tunnel is no longer required: " << describe(free);
    }
}
