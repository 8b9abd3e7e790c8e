// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <initializer_list>
#include <iosfwd>
#include <utility>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::cli {

struct CommandContext {
    std::vector<std::string_view> args;  // the words after the command's name
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    std::string_view usage;  // as registered

    // Prints the command's usage to standard error; the exit status of a wrong call.
    int usageError() const;
    // For a command that takes only flags: sets the flag of each word. False when a
    // word is no flag of `known`.
    bool flags(std::initializer_list<std::pair<std::string_view, bool*>> known) const;
};

using CommandFunction = int (*)(CommandContext&);

// Each command registers itself from its own file:
//     static const CommandRegistration reg{"debug sanitize", "debug sanitize [--config FILE] ...", &run};
// A name of several words matches that many leading arguments.
struct CommandRegistration {
    CommandRegistration(std::string_view name, std::string_view usage, CommandFunction function);
};

// `text` from elsewhere (the panel, say) made safe to print on a terminal: control
// characters (C0, DEL, C1), which could move the cursor, retitle the window or
// fake lines, become U+FFFD.
std::string terminalText(std::string_view text);

// Runs one corvanectl invocation; returns the exit status.
int run(std::span<const std::string_view> args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace corvane::cli
