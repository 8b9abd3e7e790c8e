// SPDX-License-Identifier: GPL-3.0-or-later
// corvane-panel-sim: a demo panel with a real fleet on loopback.

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "tools/panel-sim/AdminSocket.hpp"
#include "tools/panel-sim/PanelSim.hpp"
#include "tools/panel-sim/World.hpp"

using namespace corvane;
using namespace corvane::panelsim;

namespace {

const char* usage =
    "usage: corvane-panel-sim [--listen 127.0.0.1:8443] [--state-dir DIR] [--world FILE]\n"
    "                         [--web-port PORT] [--meter-interval MS]\n"
    "       corvane-panel-sim ctl [--state-dir DIR] COMMAND [ARGS...]   (ctl help lists the commands)\n"
    "\n"
    "Serves the panel's client API over HTTPS on a loopback address, runs a real engine\n"
    "server for every server and metered exit of the world file, and prints where\n"
    "everything is. DIR (default $XDG_STATE_HOME/corvane-panel-sim) keeps the CA, the\n"
    "engines' folders, the rule sets and the diagnostic reports received.\n";

std::filesystem::path defaultStateDir() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') {
        return std::filesystem::path(state) / "corvane-panel-sim";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/tmp") / ".local" / "state" / "corvane-panel-sim";
}

[[noreturn]] void fail(const std::string& message, int status = 1) {
    std::cerr << "corvane-panel-sim: " << message << "\n";
    std::exit(status);
}

std::optional<std::uint16_t> port(const std::string& text) {
    try {
        std::size_t used = 0;
        unsigned long v = std::stoul(text, &used);
        if (used == text.size() && v <= 65535) return static_cast<std::uint16_t>(v);
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

int control(std::vector<std::string> args) {
    std::filesystem::path stateDir = defaultStateDir();
    if (args.size() >= 2 && args[0] == "--state-dir") {
        stateDir = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) args = {"help"};
    try {
        std::cout << sendAdminCommand(stateDir / "admin.sock", args);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "corvane-panel-sim ctl: " << e.what();
        if (std::string(e.what()).back() != '\n') std::cerr << "\n";
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "ctl") return control({args.begin() + 1, args.end()});

    PanelSimOptions options{.stateDir = defaultStateDir()};
    std::filesystem::path worldFile = std::filesystem::path(CORVANE_SOURCE_DIR) / "examples" / "panel-sim.json";
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            std::cout << usage;
            return 0;
        }
        if (a == "--version") {
            std::cout << "corvane-panel-sim " << CORVANE_VERSION << "\n";
            return 0;
        }
        if (i + 1 >= args.size()) fail(a + " needs a value (see --help)", 2);
        const std::string& value = args[++i];
        if (a == "--listen") {
            auto colon = value.rfind(':');
            auto p = colon == std::string::npos ? std::nullopt : port(value.substr(colon + 1));
            if (!p) fail("--listen takes ADDRESS:PORT, e.g. 127.0.0.1:8443", 2);
            options.listenAddress = value.substr(0, colon);
            options.listenPort = *p;
            // The demo panel and its fleet never face a network.
            if (!options.listenAddress.starts_with("127.")) fail("--listen must be a 127.x.y.z address", 2);
        } else if (a == "--state-dir") {
            options.stateDir = value;
        } else if (a == "--world") {
            worldFile = value;
        } else if (a == "--web-port") {
            auto p = port(value);
            if (!p) fail("--web-port takes a port number", 2);
            options.webPort = *p;
        } else if (a == "--meter-interval") {
            auto p = port(value);
            if (!p || *p == 0) fail("--meter-interval takes milliseconds (1 to 65535)", 2);
            options.meterInterval = std::chrono::milliseconds(*p);
        } else {
            fail("unknown option " + a + " (see --help)", 2);
        }
    }
    options.stateDir = std::filesystem::absolute(options.stateDir);
    ::setvbuf(stdout, nullptr, _IOLBF, 0);
    options.output = [](const std::string& line) { std::cout << line << std::endl; };

    World world;
    try {
        world = World::load(worldFile);
    } catch (const WorldError& e) {
        fail(e.description(), 2);
    }

    boost::asio::io_context context;
    std::unique_ptr<PanelSim> sim;
    std::unique_ptr<AdminSocket> admin;
    try {
        sim = std::make_unique<PanelSim>(context, options, std::move(world));
        std::filesystem::create_directories(options.stateDir);
        admin = std::make_unique<AdminSocket>(context, sim->adminSocket(),
                                              [&](const std::vector<std::string>& words) { return sim->admin(words); });
        sim->start();
        admin->start();
    } catch (const std::exception& e) {
        if (sim) sim->stop();
        fail(e.what());
    }
    const std::string state = options.stateDir.string();
    std::cout << "corvane-panel-sim " << CORVANE_VERSION << " (world " << worldFile.string() << ")\n"
              << "  panel      " << sim->panelURL() << "\n"
              << "  CA         " << sim->caFile().string() << "   (clients: CORVANE_CA_FILE=" << sim->caFile().string() << ")\n"
              << "  CA bundle  " << sim->caBundleFile().string() << "   (the system's CAs plus this one, for SSL_CERT_FILE)\n"
              << "  web target " << sim->webURL() << "\n"
              << "  probe      " << sim->panelURL() << "generate_204\n"
              << "  rule sets  " << sim->panelURL() << "rules/\n"
              << "  deployment " << state << "/deployment.json\n"
              << "  admin      corvane-panel-sim ctl --state-dir " << state << " help\n"
              << "ready" << std::endl;

    boost::asio::signal_set signals(context, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int signal) {
        if (ec) return;
        std::cout << "corvane-panel-sim: stopping (" << (signal == SIGINT ? "SIGINT" : "SIGTERM") << ")" << std::endl;
        admin->stop();
        sim->stop();
        context.stop();
    });
    context.run();
    return 0;
}
