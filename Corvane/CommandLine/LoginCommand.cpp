// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl login: sign in to the panel and fetch the fleet.
#include <csignal>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/AgentConnection.hpp"

namespace corvane::cli {

namespace {

using namespace std::chrono_literals;
namespace json = boost::json;

constexpr std::string_view kUsage = "login [--panel URL] [--email EMAIL] [--password-stdin] [--file-store]";

int usage(std::ostream& err, std::string_view why = {}) {
    if (!why.empty()) err << "corvanectl login: " << why << "\n";
    err << "usage: corvanectl " << kUsage << "\n";
    return 2;
}

bool onTerminal(std::istream& in) { return &in == &std::cin && ::isatty(STDIN_FILENO); }

std::optional<std::string> ask(CommandContext& ctx, const std::string& prompt) {
    ctx.err << prompt << std::flush;
    std::string line;
    if (!std::getline(ctx.in, line)) return std::nullopt;
    return line;
}

termios echoing{};  // the terminal as it was before the password prompt

// Ctrl-C (or a hang-up) at the password prompt must not leave the shell without echo.
extern "C" void restoreEchoAndDie(int signal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &echoing);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Reads the password from the terminal with echo off.
std::optional<std::string> askPassword(CommandContext& ctx) {
    const bool restore = ::tcgetattr(STDIN_FILENO, &echoing) == 0;
    constexpr int interruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    struct sigaction previous[std::size(interruptions)] {};
    if (restore) {
        struct sigaction handler {};
        handler.sa_handler = restoreEchoAndDie;
        ::sigemptyset(&handler.sa_mask);
        for (std::size_t i = 0; i < std::size(interruptions); ++i) ::sigaction(interruptions[i], &handler, &previous[i]);
        termios silent = echoing;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        silent.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    }
    auto password = ask(ctx, "Password: ");
    if (restore) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &echoing);
        for (std::size_t i = 0; i < std::size(interruptions); ++i) ::sigaction(interruptions[i], &previous[i], nullptr);
    }
    return password;
}

int login(CommandContext& ctx) {
    std::optional<std::string> panel, email;
    bool passwordFromStdin = false;
    bool fileStore = false;
    for (std::size_t i = 0; i < ctx.args.size(); ++i) {
        auto a = ctx.args[i];
        if (a == "--panel" && i + 1 < ctx.args.size()) {
            panel = std::string(ctx.args[++i]);
        } else if (a == "--email" && i + 1 < ctx.args.size()) {
            email = std::string(ctx.args[++i]);
        } else if (a == "--password-stdin") {
            passwordFromStdin = true;
        } else if (a == "--file-store") {
            fileStore = true;
        } else {
            return usage(ctx.err);
        }
    }
    const bool terminal = !passwordFromStdin && onTerminal(ctx.in);

    AgentConnection agent;
    // The panel signed in to last is the one offered again.
    const std::string saved = agent.snapshot()->panelURL;
    if (!panel) {
        if (!terminal) {
            if (saved == "https://") return usage(ctx.err, "give the panel address with --panel");
            panel = saved;
        } else {
            auto answer = ask(ctx, saved == "https://" ? "Panel address: " : "Panel address [" + saved + "]: ");
            if (!answer) return usage(ctx.err, "no panel address given");
            panel = answer->empty() && saved != "https://" ? saved : *answer;
        }
    }
    if (!email) {
        if (!terminal) return usage(ctx.err, "give the e-mail address with --email");
        email = ask(ctx, "Email: ");
        if (!email || email->empty()) return usage(ctx.err, "no e-mail address given");
    }
    std::optional<std::string> password;
    if (passwordFromStdin) {
        std::string line;
        if (std::getline(ctx.in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            password = std::move(line);
        }
        if (!password) return usage(ctx.err, "no password on standard input");
    } else if (terminal) {
        password = askPassword(ctx);
        if (!password) return usage(ctx.err, "no password given");
    } else {
        return usage(ctx.err, "no terminal to ask for the password; use --password-stdin");
    }

    // Asked for here, or offered once the keyring would not keep the sign-in.
    if (fileStore) agent.call("useFileCredentialStore", {{"signIn", false}});
    // The password goes over the agent's socket, never into any program's arguments.
    json::object result = agent.call("signIn", {{"panelURL", *panel}, {"email", *email}, {"password", *password}});
    if (!fileStore && agent.snapshot()->offerFileCredentialStore) {
        if (const auto* error = result.if_contains("errorMessage")) ctx.err << terminalText(error->as_string()) << "\n";
        if (!terminal) {
            ctx.err << "To keep the sign-in in a private file instead, run corvanectl login --file-store.\n";
            return 1;
        }
        const auto answer = ask(ctx, "Keep the sign-in in a private file instead? [y/N] ");
        if (!answer || (*answer != "y" && *answer != "Y" && *answer != "yes")) return 1;
        result = agent.call("useFileCredentialStore",
                            {{"panelURL", *panel}, {"email", *email}, {"password", *password}});
    }
    if (result.at("recovering").as_bool()) {
        // The panel could not be reached: the agent tries again when the network returns,
        // for as long as its recovery lasts.
        if (const auto* error = result.if_contains("errorMessage")) ctx.err << terminalText(error->as_string()) << "\n";
        result = agent.callWaiting("awaitRecovery", {}, std::chrono::hours(24));
    }
    const auto state = agent.snapshot();
    if (state->signedIn) {
        const std::size_t count = state->servers ? state->servers->size() : 0;
        ctx.out << "Signed in to " << terminalText(state->panelURL) << " as " << terminalText(state->email) << ". " << count
                << (count == 1 ? " server" : " servers") << ".\n";
    }
    if (const auto* error = result.if_contains("errorMessage")) {
        ctx.err << terminalText(error->as_string()) << "\n";  // it may quote the panel
        return 1;
    }
    return state->signedIn ? 0 : 1;
}

const CommandRegistration registration{"login", kUsage, &login};

}  // namespace

}  // namespace corvane::cli
