// SPDX-License-Identifier: GPL-3.0-or-later
// corvane-agent: the user's one application model, without a window. The
// window, the tray and corvanectl are its clients; it keeps the tunnel
// healthy while none of them runs.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string_view>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <systemd/sd-daemon.h>

#include "Corvane/Agent/AgentOperations.hpp"
#include "Corvane/Agent/AgentProtocol.hpp"
#include "Corvane/Agent/SnapshotNotices.hpp"
#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Platform/DesktopNotifier.hpp"
#include "CorvaneCore/Support/FileDescriptor.hpp"
#include "CorvaneCore/Support/LocalSocket.hpp"

namespace fs = std::filesystem;
using namespace corvane;

namespace {

constexpr std::string_view kUsage =
    "usage: corvane-agent [--socket PATH]\n"
    "\n"
    "Runs the user's Corvane model for the window, the tray and corvanectl, which start it\n"
    "when it is not running (or systemd starts it from corvane-agent.socket).\n"
    "  --socket  listen here instead of $XDG_RUNTIME_DIR/corvane/agent.sock\n"
    "\n"
    "Environment (a started agent keeps its starter's):\n"
    "  CORVANE_TUNNEL_SOCKET       the tunnel service's socket\n"
    "  CORVANE_CA_FILE             certificate authorities trusted besides the system's\n"
    "  CORVANE_SITE_WATCH_SECONDS  how often a connected session asks the panel for changes (default 60)\n";

void say(std::string_view text) { std::cerr << "corvane-agent: " << text << std::endl; }

// $CORVANE_SITE_WATCH_SECONDS: how often a connected session asks the panel
// whether its sites and exits changed (1 to 3600; the default is a minute).
std::optional<std::chrono::seconds> siteWatchSeconds() {
    const char* text = std::getenv("CORVANE_SITE_WATCH_SECONDS");
    if (!text || !*text) return std::nullopt;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1 || value > 3600) {
        say("CORVANE_SITE_WATCH_SECONDS is not a number of seconds from 1 to 3600; the default holds");
        return std::nullopt;
    }
    return std::chrono::seconds(value);
}

// The model, its server and the loop they share, and the way they end.
class Agent {
public:
    void run(const fs::path& socket, int activated) {
        AppModelParts parts = AppModelParts::system(io_.get_executor());
        if (const auto seconds = siteWatchSeconds()) parts.timings.siteWatchPeriod = *seconds;
        model_ = std::make_unique<AppModel>(io_.get_executor(), std::move(parts));
        operations_ = std::make_unique<AgentOperations>(*model_, [this](bool disconnect) { stop(disconnect); });
        server_ = std::make_unique<AgentServer>(io_, *operations_);
        server_->start(socket, activated);
        subscription_ = model_->observe([this](const std::shared_ptr<const AppSnapshot>& s) {
            server_->publish(s);
            notify(*s);
        });
        boost::asio::co_spawn(io_, startModel(), boost::asio::detached);
        boost::asio::co_spawn(io_, followSocket(socket), boost::asio::detached);
        say("serves " + socket.string() + (activated >= 0 ? " (socket from systemd)" : ""));
        boost::asio::signal_set signals(io_, SIGINT, SIGTERM);
        signals.async_wait([this](const boost::system::error_code& error, int) {
            if (!error) stop(false);
        });
        io_.run();
    }

    // Ends the agent; the tunnel stays as it is unless `disconnect`.
    void stop(bool disconnect) {
        if (stopping_) return;
        stopping_ = true;
        say(disconnect ? "stopping after a disconnect" : "stopping; the tunnel stays as it is");
        boost::asio::co_spawn(io_, shutdown(disconnect), boost::asio::detached);
    }

private:
    Async<void> startModel() {
        std::optional<std::string> failure;
        try {
            co_await model_->restore();
        } catch (const std::exception& e) {
            failure = e.what();
        }
        // Clients start from the stored state, never from the empty one before it; a
        // restore that failed still lets them in, to see what there is.
        if (failure) say("could not read the stored state: " + *failure);
        server_->publish(model_->published());
        // What was restored is where changes start from: a state found at start is no event.
        notices_.emplace().next(*model_->published());
        operations_->markReady();
        co_await model_->resume();
    }

    // Ends the agent once its socket is removed or replaced (the session's
    // runtime folder goes at logout): nobody could reach it any more.
    Async<void> followSocket(fs::path socket) {
        struct stat first {};
        if (::stat(socket.c_str(), &first) != 0) co_return;
        for (;;) {
            co_await pause(std::chrono::seconds(2));
            struct stat now {};
            if (::stat(socket.c_str(), &now) != 0 || now.st_ino != first.st_ino || now.st_dev != first.st_dev) {
                say(socket.string() + " is gone");
                stop(false);
                co_return;
            }
        }
    }

    Async<void> shutdown(bool disconnect) {
        if (disconnect) {
            co_await model_->disconnect();
            for (int i = 0; i < 100 && model_->tunnel.status() != NEVPNStatus::disconnected &&
                            model_->tunnel.status() != NEVPNStatus::invalid;
                 ++i) {
                co_await pause(std::chrono::milliseconds(100));
            }
        }
        server_->sayStopping();
        co_await pause(std::chrono::milliseconds(100));  // the last replies go out first
        subscription_.reset();
        server_->stop();
        model_.reset();
        io_.stop();
    }
    // Desktop notifications are sent from here, the one process that sees every
    // change, window or not, and only while the user has them on.
    void notify(const AppSnapshot& snapshot) {
        if (!notices_ || stopping_) return;
        for (auto& notice : notices_->next(snapshot)) {
            if (snapshot.notifications) notifier_.post(std::move(notice));
        }
    }

    Async<void> pause(std::chrono::milliseconds length) {
        boost::asio::steady_timer timer(io_, length);
        co_await timer.async_wait(boost::asio::use_awaitable);
    }

    boost::asio::io_context io_;
    std::unique_ptr<AppModel> model_;
    std::unique_ptr<AgentOperations> operations_;
    std::unique_ptr<AgentServer> server_;
    Subscription subscription_;
    std::optional<SnapshotNotices> notices_;
    DesktopNotifier notifier_;
    bool stopping_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    std::optional<fs::path> socket;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (a == "--version") {
            std::cout << "corvane-agent " << CORVANE_VERSION << "\n";
            return 0;
        }
        if (a == "--socket" && i + 1 < argc && argv[i + 1][0] != '\0') {
            socket = argv[++i];
            continue;
        }
        std::cerr << "corvane-agent: unknown option " << a << "\n" << kUsage;
        return 2;
    }
    if (!socket) socket = AgentEndpoint::socketPath();
    ::signal(SIGPIPE, SIG_IGN);

    // systemd's socket activation hands over the listening socket.
    int activated = -1;
    if (sd_listen_fds(0) == 1 && sd_is_socket_unix(SD_LISTEN_FDS_START, SOCK_STREAM, 1, nullptr, 0) > 0) {
        activated = SD_LISTEN_FDS_START;
        ::fcntl(activated, F_SETFD, FD_CLOEXEC);
        // Its lock lives beside the socket systemd made.
        sockaddr_un bound{};
        socklen_t length = sizeof bound;
        if (::getsockname(activated, reinterpret_cast<sockaddr*>(&bound), &length) == 0 && bound.sun_path[0] != '\0') {
            socket = fs::path(bound.sun_path);
        }
    }

    // One agent per user: the lock lives as long as this process.
    std::error_code ec;
    fs::create_directories(socket->parent_path(), ec);
    FileDescriptor lock(::open(AgentEndpoint::instanceLockPath(*socket).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock.valid()) {
        say("cannot open " + AgentEndpoint::instanceLockPath(*socket).string() + ": " + std::strerror(errno));
        return 1;
    }
    // A holder that does not listen is one that is ending (killed, its files not yet
    // closed) or just starting: its lock is free or its socket up within moments.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (someoneListensOn(*socket) || std::chrono::steady_clock::now() > deadline) {
            say("another agent already runs for this user");
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    Agent agent;
    try {
        agent.run(*socket, activated);
    } catch (const std::exception& e) {
        say(e.what());
        return 1;
    }
    return 0;
}
