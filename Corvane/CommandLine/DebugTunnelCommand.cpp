// corvanectl debug tunnel: drive the tunnel service the way the app does.
#include <chrono>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/Platform/ServiceActivationPlatform.hpp"
#include "Corvane/Platform/ServiceTunnelPlatform.hpp"
#include "Corvane/Tunnel/TunnelController.hpp"

namespace corvane::cli {

namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;

const char* statusName(NEVPNStatus s) {
    switch (s) {
    case NEVPNStatus::invalid: return "no profile";
    case NEVPNStatus::disconnected: return "disconnected";
    case NEVPNStatus::connecting: return "connecting";
    case NEVPNStatus::connected: return "connected";
    case NEVPNStatus::reasserting: return "reasserting";
    case NEVPNStatus::disconnecting: return "disconnecting";
    }
    return "unknown";
}

struct Session {
    explicit Session(std::filesystem::path socket)
        : platform(std::make_shared<ServiceTunnelPlatform>(io.get_executor(), std::move(socket))),
          controller(io.get_executor(), platform) {}

    // Runs `work` to its end on the session's loop; rethrows its failure.
    template <class T>
    T run(Async<T> work) {
        std::exception_ptr failure;
        std::optional<std::conditional_t<std::is_void_v<T>, int, T>> result;
        bool done = false;
        asio::co_spawn(io, std::move(work), [&](std::exception_ptr e, auto... value) {
            failure = e;
            done = true;
            if constexpr (sizeof...(value) > 0) {
                if (!e) result.emplace(std::move(value)...);
            }
        });
        while (!done && !io.stopped()) io.run_one();
        io.restart();
        if (failure) std::rethrow_exception(failure);
        if constexpr (!std::is_void_v<T>) return std::move(*result);
    }
    // Processes status events until `done` holds or `limit` passes.
    bool waitFor(const std::function<bool()>& done, std::chrono::steady_clock::duration limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            io.run_for(20ms);
            io.restart();
        }
        return done();
    }

    asio::io_context io;
    std::shared_ptr<ServiceTunnelPlatform> platform;
    TunnelController controller;
};

int usage(std::ostream& err) {
    err << "usage: corvanectl debug tunnel [--socket PATH] status|start --config FILE|stop\n";
    return 2;
}

int debugTunnel(CommandContext& ctx) {
    std::filesystem::path socket = preferredTunnelServiceSocket();
    std::optional<std::string> configFile;
    std::string action;
    for (std::size_t i = 0; i < ctx.args.size(); ++i) {
        auto a = ctx.args[i];
        if (a == "--socket" && i + 1 < ctx.args.size()) {
            socket = std::string(ctx.args[++i]);
        } else if (a == "--config" && i + 1 < ctx.args.size()) {
            configFile = std::string(ctx.args[++i]);
        } else if (action.empty() && (a == "status" || a == "start" || a == "stop")) {
            action = std::string(a);
        } else {
            return usage(ctx.err);
        }
    }
    if (action.empty() || (action == "start") != configFile.has_value()) return usage(ctx.err);

    Session session(socket);
    try {
        session.run(session.controller.load());
        // load() reads an unreachable service as "no profile"; ask once more to say why.
        if (!session.controller.hasProfile()) session.run(session.platform->hello());
    } catch (const TunnelPlatformError& e) {
        ctx.err << "corvanectl: " << e.description() << "\n";
        return 1;
    }

    if (action == "status") {
        ctx.out << "status: " << statusName(session.controller.status()) << "\n";
        return 0;
    }
    if (action == "stop") {
        if (session.controller.status() == NEVPNStatus::disconnected || !session.controller.hasProfile()) {
            ctx.out << "status: " << statusName(session.controller.status()) << "\n";
            return 0;
        }
        session.controller.disconnect();
        bool stopped = session.waitFor([&] { return session.controller.status() == NEVPNStatus::disconnected; }, 30s);
        ctx.out << "status: " << statusName(session.controller.status()) << "\n";
        if (!stopped) ctx.err << "corvanectl: the tunnel did not stop within 30 seconds\n";
        return stopped ? 0 : 1;
    }

    std::ifstream in(*configFile, std::ios::binary);
    if (!in) {
        ctx.err << "corvanectl: cannot read the configuration file " << *configFile << "\n";
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    try {
        session.run(session.controller.connect(text.str(), "localhost"));
    } catch (const TunnelPlatformError& e) {
        ctx.err << "corvanectl: the tunnel could not be started: " << e.description() << "\n";
        return 1;
    }
    session.waitFor([&] {
        auto s = session.controller.status();
        return s == NEVPNStatus::connected || (s == NEVPNStatus::disconnected && session.controller.lastError());
    }, 60s);
    // A failed start reports its reason a moment after the status changes.
    if (session.controller.status() != NEVPNStatus::connected) {
        session.waitFor([&] { return session.controller.lastError().has_value(); }, 2s);
    }
    ctx.out << "status: " << statusName(session.controller.status()) << "\n";
    if (session.controller.status() == NEVPNStatus::connected) return 0;
    ctx.err << "corvanectl: the tunnel did not start: " << session.controller.lastError().value_or("no reason given") << "\n";
    return 1;
}

const CommandRegistration registration{"debug tunnel", "debug tunnel [--socket PATH] status|start --config FILE|stop",
                                       &debugTunnel};

}  // namespace

}  // namespace corvane::cli
