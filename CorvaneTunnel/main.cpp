// SPDX-License-Identifier: GPL-3.0-or-later
// corvane-tunnel: hosts the engine for the app and corvanectl, behind a Unix socket.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "CorvaneCore/Config/Deployment.hpp"
#include "CorvaneCore/Support/XDGPaths.hpp"
#include "CorvaneTunnel/EngineCheck.hpp"
#include "CorvaneTunnel/EngineProvider.hpp"
#include "CorvaneTunnel/ProfileStore.hpp"
#include "CorvaneTunnel/ServiceServer.hpp"
#include "CorvaneTunnel/TunnelService.hpp"

namespace fs = std::filesystem;
using namespace corvane;

namespace {

constexpr std::string_view kUsage =
    "usage: corvane-tunnel [--system | --user [--strict]] [--socket PATH] [--state-dir DIR] [--engine PATH] [--proxy-port PORT]\n"
    "                      [--engine-user NAME] [--no-kill-switch] [--deployment FILE]\n"
    "       corvane-tunnel --lift-block [--state-dir DIR]\n"
    "\n"
    "  --system      serve root and the \"corvane\" group on /run/corvane/tunnel.sock and route all\n"
    "                traffic through a TUN interface (needs CAP_NET_ADMIN; the systemd unit runs this)\n"
    "  --user        serve only this user on $XDG_RUNTIME_DIR/corvane/tunnel.sock; no TUN interface:\n"
    "                the tunnel is offered as a local HTTP and SOCKS5 proxy on 127.0.0.1 (the default)\n"
    "  --strict      accept only engine configurations of the shape the app builds, as --system always does\n"
    "  --socket      listen here instead\n"
    "  --state-dir   saved profile and engine cache (default $STATE_DIRECTORY or /var/lib/corvane-tunnel\n"
    "                for --system, $XDG_STATE_HOME/corvane/tunnel for --user)\n"
    "  --engine      the sing-box " CORVANE_ENGINE_SERIES ".x executable (default $CORVANE_ENGINE, then the installed\n"
    "                " CORVANE_ENGINE_FROM_BIN " from this program's folder, then sing-box beside this\n"
    "                program (in a build tree, a link to the one scripts/install-engine.sh built), then\n"
    "                sing-box on PATH); the service refuses to start without one\n"
    "  --proxy-port  the local proxy's port in user mode (default 2080)\n"
    "  --engine-user the account --system runs the engine as (default corvane-engine)\n"
    "  --no-kill-switch  with --system, let traffic leave outside the tunnel while it connects, after\n"
    "                the engine fails and while this service is down (by default it is blocked from\n"
    "                a connect until the user disconnects)\n"
    "  --deployment  the operator's deployment values that --system and --strict hold configurations to\n"
    "                (remote rule sets only under its rule_set_base_url), instead of /etc/corvane/deployment.json;\n"
    "                a user's own deployment file is never read\n"
    "  --lift-block  as root: remove the block of traffic outside the tunnel that a stopped or\n"
    "                crashed service left, and turn \"always require the tunnel\" off, then exit\n";

// The exit status of a start refused for its engine (EX_CONFIG): the unit does not restart it in vain.
constexpr int kEngineUnusable = 78;

// The engine to run, and what chose it; nullopt with the places looked at when there is none.
std::optional<EngineChoice> chooseEngine(const std::optional<fs::path>& named, std::vector<std::string>& looked) {
    if (named) return EngineChoice{*named, "--engine"};
    if (const char* env = std::getenv("CORVANE_ENGINE"); env && *env) return EngineChoice{env, "$CORVANE_ENGINE"};
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    const char* path = std::getenv("PATH");
    return findEngine(ec ? fs::path() : self.parent_path(), CORVANE_ENGINE_FROM_BIN, path ? path : "", &looked);
}

fs::path defaultStateDirectory(ServiceMode mode) {
    if (mode == ServiceMode::system) {
        if (const char* dir = std::getenv("STATE_DIRECTORY"); dir && *dir) return fs::path(std::string(dir).substr(0, std::string(dir).find(':')));
        return "/var/lib/corvane-tunnel";
    }
    return xdgStateHome() / "corvane" / "tunnel";
}

// The state folder holds the saved profiles and the engine's cache: it must be
// this service's own, and nobody else may write to it. Throws std::runtime_error.
void prepareStateDirectory(const fs::path& dir, ServiceMode mode) {
    // In system mode the engine's own account passes through it to its folder.
    const fs::perms mine = mode == ServiceMode::system
                               ? fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec
                               : fs::perms::owner_all;
    if (fs::create_directories(dir)) fs::permissions(dir, mine);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw std::runtime_error(dir.string() + " is not a folder");
    if (st.st_uid != ::geteuid()) {
        throw std::runtime_error("the state folder " + dir.string() + " belongs to another user (uid " +
                                 std::to_string(st.st_uid) + "); choose another with --state-dir");
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        throw std::runtime_error("others may write to the state folder " + dir.string() + "; make it yours alone (chmod go-w)");
    }
    if (mode == ServiceMode::system && (st.st_mode & 0011) != 0011) {
        fs::permissions(dir, fs::perms::group_exec | fs::perms::others_exec, fs::perm_options::add);
    }
}

void say(std::string_view level, std::string_view text) { std::cerr << level << " " << text << std::endl; }

// The operator's deployment values from `file` alone: the service serves other
// users, so a member's own file must not widen what it accepts. A file it
// cannot use is reported and the build's defaults apply.
Deployment operatorDeployment(const fs::path& file, bool named) {
    std::error_code ec;
    if (named && !fs::exists(file, ec) && !ec) say("WARN", file.string() + " does not exist; the build's deployment values apply");
    Deployment::Loaded loaded = Deployment::load({file});
    for (const auto& problem : loaded.problems) {
        say("WARN", problem.description() + (problem.ignoredKeyOnly ? "" : "; the build's deployment values apply"));
    }
    return loaded.values;
}

}  // namespace

int main(int argc, char** argv) {
    ServiceMode mode = ServiceMode::user;
    bool strict = false;
    bool killSwitchWanted = true;
    bool liftBlock = false;
    std::string engineUser(defaultEngineAccountName);
    std::optional<fs::path> socket, stateDirectory, engine, deploymentFile;
    long proxyPort = 2080;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 < argc) return std::string(argv[++i]);
            return std::nullopt;
        };
        if (a == "--system") {
            mode = ServiceMode::system;
        } else if (a == "--user") {
            mode = ServiceMode::user;
        } else if (a == "--strict") {
            strict = true;
        } else if (a == "--no-kill-switch") {
            killSwitchWanted = false;
        } else if (a == "--lift-block") {
            liftBlock = true;
        } else if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--version") {
            std::cout << "corvane-tunnel " << CORVANE_VERSION << "\n";
            return 0;
        } else if (a == "--socket" || a == "--state-dir" || a == "--engine" || a == "--proxy-port" || a == "--engine-user" ||
                   a == "--deployment") {
            auto v = value();
            if (!v || v->empty()) {
                std::cerr << "corvane-tunnel: " << a << " needs a value\n" << kUsage;
                return 2;
            }
            if (a == "--socket") socket = *v;
            if (a == "--state-dir") stateDirectory = *v;
            if (a == "--engine") engine = *v;
            if (a == "--engine-user") engineUser = *v;
            if (a == "--deployment") deploymentFile = *v;
            if (a == "--proxy-port") {
                char* end = nullptr;
                proxyPort = std::strtol(v->c_str(), &end, 10);
                if (*end != '\0' || proxyPort < 1 || proxyPort > 65535) {
                    std::cerr << "corvane-tunnel: --proxy-port takes a port number from 1 to 65535\n";
                    return 2;
                }
            }
        } else {
            std::cerr << "corvane-tunnel: unknown option " << a << "\n" << kUsage;
            return 2;
        }
    }
    if (liftBlock) {
        // The administrator's way out: the block outlives the service on purpose.
        try {
            KillSwitch killSwitch(stateDirectory.value_or(defaultStateDirectory(ServiceMode::system)));
            if (killSwitch.lockdown().enabled) killSwitch.setLockdown({});
            killSwitch.release();
            std::cout << "Traffic outside the tunnel is no longer blocked; the tunnel is not always required.\n";
            return 0;
        } catch (const std::exception& e) {
            std::cerr << "corvane-tunnel: the block could not be lifted: " << e.what() << "\n";
            return 1;
        }
    }
    if (!socket) socket = mode == ServiceMode::system ? fs::path(TunnelServiceEndpoint::systemSocketPath)
                                                      : TunnelServiceEndpoint::userSocketPath();
    if (!stateDirectory) stateDirectory = defaultStateDirectory(mode);

    ::signal(SIGPIPE, SIG_IGN);
    boost::asio::io_context io;
    try {
        prepareStateDirectory(*stateDirectory, mode);
        ProfileStore profiles(*stateDirectory / "profiles.json");
        if (profiles.damagedCopy()) {
            say("WARN", "the saved profiles could not be read; the file was kept as " + profiles.damagedCopy()->string() +
                            " and the service starts without them");
        }
        EngineProvider::Settings settings;
        settings.workingDirectory = *stateDirectory / "engine";
        settings.mode = mode;
        settings.strict = strict || mode == ServiceMode::system;
        if (settings.strict) {
            settings.ruleSetBaseURL = operatorDeployment(deploymentFile.value_or(Deployment::systemFile()), deploymentFile.has_value())
                                          .ruleSetBaseURL;
            say("INFO", "remote rule sets are accepted only under " + settings.ruleSetBaseURL);
        }
        if (mode == ServiceMode::system) settings.engineAccount = engineUser;
        settings.proxyPort = static_cast<std::uint16_t>(proxyPort);
        settings.onServiceLine = [](const std::string& level, const std::string& text) { say(level, text); };
        std::optional<KillSwitch> killSwitch;
        if (mode == ServiceMode::system && killSwitchWanted) {
            killSwitch.emplace(*stateDirectory);
            settings.killSwitch = &*killSwitch;
            try {
                // The table outlives a crash of this service; the intent makes sure a restart keeps it.
                if (killSwitch->restore()) {
                    say("WARN", killSwitch->rules() && killSwitch->rules()->lockdown
                                    ? "the tunnel is always required: traffic outside it is blocked until one is up"
                                    : "traffic outside the tunnel stays blocked, as it was when the service ended; "
                                      "connect again, or disconnect to lift the block");
                }
            } catch (const std::exception& e) {
                say("ERROR", std::string("the intended block of traffic outside the tunnel could not be restored: ") + e.what());
            }
        } else if (mode == ServiceMode::system) {
            say("WARN", "the kill switch is off: traffic may leave outside the tunnel while it connects or after a failure");
        }
        // After the kill switch's block is back (it must hold even when no engine can run), and before
        // anyone may connect: a missing engine or one of another series is said now, not at the first connect.
        std::vector<std::string> looked;
        const auto choice = chooseEngine(engine, looked);
        if (!choice) {
            std::string places;
            for (const auto& place : looked) places += (places.empty() ? "" : ", ") + place;
            say("ERROR", "no engine to run (looked for " + places + "): reinstall the package, or name a sing-box " +
                             CORVANE_ENGINE_SERIES + ".x with --engine");
            return kEngineUnusable;
        }
        try {
            const std::string version = checkEngineVersion(choice->path, CORVANE_ENGINE_SERIES);
            say("INFO", "engine " + choice->path.string() + ": sing-box " + version + " (" +
                            (choice->source == "installed" ? "the installed engine" : "from " + choice->source) + ")");
        } catch (const std::exception& e) {
            say("ERROR", std::string("the engine cannot be used: ") + e.what() + "; reinstall the package, or name a sing-box " +
                             CORVANE_ENGINE_SERIES + ".x with --engine");
            return kEngineUnusable;
        }
        engine = settings.engine = choice->path;
        EngineProvider provider(io.get_executor(), settings);
        TunnelService service(profiles, provider, mode, killSwitch ? &*killSwitch : nullptr);
        service.onServiceLine = [](const std::string& level, const std::string& text) { say(level, text); };
        ServiceServer server(io, *socket, mode, service);
        service.setServer(&server);
        server.start();
        say("INFO", std::string("corvane-tunnel ") + CORVANE_VERSION + " serves " + socket->string() + " in " +
                        (mode == ServiceMode::system ? "system mode" : "user mode (local proxy on 127.0.0.1:" +
                                                                           std::to_string(proxyPort) + ")") +
                        " with " + engine->string());

        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        auto shutdown = [&]() -> Async<void> {
            say("INFO", "stopping");
            server.stop();
            co_await service.shutdown();
            io.stop();
        };
        signals.async_wait([&](const boost::system::error_code& ec, int) {
            if (!ec) boost::asio::co_spawn(io, shutdown(), boost::asio::detached);
        });
        io.run();
    } catch (const std::exception& e) {
        std::cerr << "corvane-tunnel: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
