// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl debug tunnel: drive the tunnel service the way the app does.
#include <chrono>
#include <ctime>
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
#include "CorvaneCore/Support/Blocking.hpp"

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

    template <class T>
    T run(Async<T> work) {
        return runUntilDone(io, std::move(work));
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

constexpr std::string_view kUsage = "debug tunnel [--socket PATH] status|start --config FILE|stop|logs [--follow]|recover";

int usage(std::ostream& err) {
    err << "usage: corvanectl " << kUsage << "\n";
    return 2;
}

std::string clockTime(std::int64_t unixSeconds) {
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

int status(Session& session, std::ostream& out) {
    out << "status: " << statusName(session.controller.status()) << "\n";
    if (auto reply = session.run(session.controller.send<TunnelIPC::StatusReply>(TunnelIPC::Request::status()))) {
        if (reply->clashPort) out << "control API: 127.0.0.1:" << *reply->clashPort << "\n";
        if (reply->startedAtUnix) out << "running since: " << clockTime(*reply->startedAtUnix) << "\n";
        if (reply->lastError) out << "last error: " << *reply->lastError << "\n";
    } else if (session.controller.lastError()) {
        out << "last error: " << *session.controller.lastError() << "\n";
    }
    return 0;
}

// Prints the lines after `after` and returns the number of the last one.
std::int64_t printLines(const TunnelIPC::LogsReply& reply, std::int64_t after, std::ostream& out) {
    for (const auto& l : reply.lines) {
        out << l.line.ts << " " << l.line.level << " ";
        if (!l.line.target.empty()) out << l.line.target << ": ";
        out << l.line.message << "\n";
        after = l.seq;
    }
    out.flush();
    return after;
}

int logs(Session& session, bool follow, CommandContext& ctx) {
    std::int64_t after = 0;
    bool reached = false;
    for (;;) {
        auto reply = session.run(session.controller.send<TunnelIPC::LogsReply>(TunnelIPC::Request::logs(after)));
        if (reply) {
            reached = true;
            after = printLines(*reply, after, ctx.out);
        } else if (!follow) {
            ctx.err << "corvanectl: the tunnel is not running, so it has no log to show\n";
            return 1;
        } else if (!reached) {
            ctx.err << "corvanectl: waiting for the tunnel to run (Ctrl-C ends)\n";
            reached = true;
        }
        if (!follow) return 0;
        session.waitFor([] { return false; }, 1s);
    }
}

int recover(Session& session, CommandContext& ctx) {
    auto status = session.run(session.controller.send<TunnelIPC::StatusReply>(TunnelIPC::Request::status()));
    if (!status) {
        ctx.err << "corvanectl: the tunnel is not running, so there is nothing to recover\n";
        return 1;
    }
    auto reply = session.run(
        session.controller.send<TunnelIPC::ActionReply>(TunnelIPC::Request::recoverNetwork(status->clashPort.value_or(0))));
    if (!reply || !reply->performed) {
        ctx.err << "corvanectl: the tunnel did not recover its network (it is starting or stopping); try again in a moment\n";
        return 1;
    }
    ctx.out << "The tunnel closed all its connections; programs reconnect over the current network.\n";
    return 0;
}

int debugTunnel(CommandContext& ctx) {
    std::filesystem::path socket = preferredTunnelServiceSocket();
    std::optional<std::string> configFile;
    std::string action;
    bool follow = false;
    for (std::size_t i = 0; i < ctx.args.size(); ++i) {
        auto a = ctx.args[i];
        if (a == "--socket" && i + 1 < ctx.args.size()) {
            socket = std::string(ctx.args[++i]);
        } else if (a == "--config" && i + 1 < ctx.args.size()) {
            configFile = std::string(ctx.args[++i]);
        } else if (a == "--follow" && action == "logs") {
            follow = true;
        } else if (action.empty() && (a == "status" || a == "start" || a == "stop" || a == "logs" || a == "recover")) {
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
        if (auto advice = serviceRefusalAdvice(e.error())) ctx.err << *advice << "\n";
        return 1;
    }

    if (action == "status") return status(session, ctx.out);
    if (action == "logs") return logs(session, follow, ctx);
    if (action == "recover") return recover(session, ctx);
    if (action == "stop") {
        if (session.controller.status() == NEVPNStatus::disconnected || !session.controller.hasProfile()) {
            ctx.out << "status: " << statusName(session.controller.status()) << "\n";
            return 0;
        }
        try {
            session.run(session.controller.stop());
        } catch (const TunnelPlatformError& e) {
            ctx.err << "corvanectl: the tunnel could not be stopped: " << e.description() << "\n";
            return 1;
        }
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

const CommandRegistration registration{"debug tunnel", kUsage, &debugTunnel};

}  // namespace

}  // namespace corvane::cli
