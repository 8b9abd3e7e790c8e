// corvane-tunnel in system mode, as root, with a real TUN interface: inside two
// network namespaces the test makes (a client and a server joined by a veth
// pair), never on the machine's own routing.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "tools/fleet/BackgroundProcess.hpp"
#include "TestSupport/NetworkNamespaces.hpp"
#include "TestSupport/ServiceClient.hpp"
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

}  // namespace

TEST(SystemModeTunnel, TrafficFromTheClientNamespaceTravelsThroughTheTunInterface) {
    if (::access(enginePath().c_str(), X_OK) != 0) GTEST_SKIP() << "sing-box is not installed at " << enginePath();
    if (::access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "this machine offers no TUN device (/dev/net/tun)";
    std::unique_ptr<NetworkNamespaces> namespaces;
    std::string server, client;
    try {
        namespaces = std::make_unique<NetworkNamespaces>("cvtun");
        server = namespaces->add('s');
        client = namespaces->add('c');
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

    std::unique_ptr<Fleet> fleet;
    inNetworkNamespace(server, [&] {
        fleet = std::make_unique<Fleet>("10.214.0.1", std::vector<std::string>{"10.214.0.0/30", "203.0.113.10/32"});
    });
    PeerRecordingTarget target(server);

    // The engine runs as an unprivileged account ("nobody" here; the package's own otherwise), which must
    // reach its program and its folder.
    TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    const auto engine = dir.path() / "sing-box";
    std::filesystem::copy_file(enginePath(), engine);
    const auto socket = dir.path() / "run" / "tunnel.sock";
    std::vector<std::string> command{"/usr/sbin/ip", "netns", "exec", client, CORVANE_TUNNEL_PATH, "--system", "--socket",
                                     socket.string(), "--state-dir", (dir.path() / "state").string(), "--engine",
                                     engine.string(), "--engine-user", "nobody"};
    // Debian's udev lets every account open /dev/net/tun (0666); where this machine keeps it root's, the
    // service gets such a node in a mount namespace of its own, leaving the machine's as it is.
    struct stat tun {};
    if (::stat("/dev/net/tun", &tun) == 0 && (tun.st_mode & 0006) != 0006) {
        std::filesystem::create_directory(dir.path() / "dev");
        command.insert(command.begin(), {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                                         R"(mount -t tmpfs -o mode=0755 tun "$0/dev" && mknod -m 666 "$0/dev/tun" c 10 200 &&)"
                                         R"( mount --bind "$0/dev/tun" /dev/net/tun && exec "$@")",
                                         dir.path().string()});
    }
    BackgroundProcess service(command, dir.path() / "service.log");
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
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (rawExchange(socket, R"({"id":1,"op":"hello"})" "\n").find(R"("mode":"system")") == std::string::npos) {
        ASSERT_TRUE(service.isRunning() && std::chrono::steady_clock::now() < deadline) << log();
        std::this_thread::sleep_for(20ms);
    }

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

    app->controller.disconnect();
    ASSERT_TRUE(app->waitFor([&] { return app->controller.status() == NEVPNStatus::disconnected; }, 15s));
    EXPECT_FALSE(linkExists(client, "Corvane")) << "the TUN interface outlived the tunnel";
    inNetworkNamespace(client, [&] { body = plainGet("203.0.113.10", target.port()); });
    EXPECT_EQ(body, "target");
    ASSERT_EQ(target.peers().size(), 2u);
    EXPECT_EQ(target.peers()[1], "10.214.0.2") << "without the tunnel the client connects itself";
}
