// corvanectl logout: forget the session, the token and the VPN profile.
#include <iostream>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/HeadlessModel.hpp"

namespace corvane::cli {

namespace {

using namespace std::chrono_literals;

int logout(CommandContext& ctx) {
    if (!ctx.args.empty()) {
        return ctx.usageError();
    }
    HeadlessModel headless({});
    AppModel& model = headless.model();
    // The profile must be known before sign-out can remove it.
    headless.run(model.tunnel.load());
    model.signOut();
    if (!headless.runUntil([&] { return !model.tunnel.hasProfile(); }, 10s)) {
        ctx.err << "corvanectl: the tunnel service did not remove the VPN profile\n";
    }
    ctx.out << "Signed out.\n";
    return headless.finish(ctx.err);
}

const CommandRegistration registration{"logout", "logout", &logout};

}  // namespace

}  // namespace corvane::cli
