// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <vector>

#include "Corvane/Model/AppSnapshot.hpp"

namespace corvane::cli {

// What a command that follows the agent's stream does with it.
struct Following {
    std::function<void(const AppSnapshot&)> changed;      // the state after each change
    std::function<void(const AppSnapshot&)> everySecond;  // the state once a second
    // The tunnel's new log lines, each once; those numbered up to `shownLogSeq` are
    // not news (nothing: none of the lines kept before the watch began are).
    std::function<void(const std::vector<TunnelIPC::SequencedLine>&)> logged;
    std::optional<std::int64_t> shownLogSeq;
};

// Follows the agent's stream until SIGINT or SIGTERM (exit status 0) or until
// the agent says it stops. When the agent went away without a word (it
// crashed, it was killed), a new one is started and followed.
int followAgent(std::ostream& err, Following following);

// "traffic: 1.2 KB/s up, 3.4 MB/s down" or its JSON line, while connected.
void printTraffic(const AppSnapshot& s, std::ostream& out, bool asJSON);

}  // namespace corvane::cli
