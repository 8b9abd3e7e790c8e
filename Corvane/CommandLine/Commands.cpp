// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/CommandLine/Commands.hpp"

#include <algorithm>
#include <exception>
#include <ostream>
#include <string>

namespace corvane::cli {

namespace {

struct Entry {
    std::vector<std::string_view> words;
    std::string_view usage;
    CommandFunction function;
};

std::vector<Entry>& registry() {
    static std::vector<Entry> entries;
    return entries;
}

void printUsage(std::ostream& os) {
    os << "Usage: corvanectl COMMAND [OPTIONS]\n\nCommands:\n";
    auto entries = registry();
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.usage < b.usage; });
    for (const auto& e : entries) os << "  corvanectl " << e.usage << "\n";
    os << "  corvanectl --version\n  corvanectl --help\n  corvanectl COMMAND --help\n\n"
          "Environment:\n"
          "  CORVANE_TUNNEL_SOCKET  the tunnel service's socket (default /run/corvane/tunnel.sock when it\n"
          "                         exists, else $XDG_RUNTIME_DIR/corvane/tunnel.sock)\n"
          "  CORVANE_CA_FILE        certificate authorities trusted besides the system's (a private panel CA)\n";
}

}  // namespace

CommandRegistration::CommandRegistration(std::string_view name, std::string_view usage, CommandFunction function) {
    Entry e{{}, usage, function};
    std::size_t start = 0;
    while (start < name.size()) {
        auto space = name.find(' ', start);
        if (space == std::string_view::npos) space = name.size();
        e.words.push_back(name.substr(start, space - start));
        start = space + 1;
    }
    registry().push_back(std::move(e));
}

int CommandContext::usageError() const {
    err << "usage: corvanectl " << usage << "\n";
    return 2;
}

bool CommandContext::flags(std::initializer_list<std::pair<std::string_view, bool*>> known) const {
    for (std::string_view word : args) {
        auto flag = std::find_if(known.begin(), known.end(), [&](const auto& k) { return k.first == word; });
        if (flag == known.end()) return false;
        *flag->second = true;
    }
    return true;
}

std::string terminalText(std::string_view text) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string safe;
    safe.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            safe += replacement;
        } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            safe += replacement;  // a C1 control such as CSI (U+009B)
            ++i;
        } else {
            safe += text[i];
        }
    }
    return safe;
}

int run(std::span<const std::string_view> args, std::istream& in, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        printUsage(err);
        return 2;
    }
    if (args.front() == "--help" || args.front() == "-h" || args.front() == "help") {
        printUsage(out);
        return 0;
    }
    if (args.front() == "--version" || args.front() == "version") {
        out << "corvanectl " << CORVANE_VERSION << "\n";
        return 0;
    }
    // The longest registered name that the arguments start with wins.
    const Entry* best = nullptr;
    for (const auto& e : registry()) {
        if (e.words.size() > args.size()) continue;
        if (!std::equal(e.words.begin(), e.words.end(), args.begin())) continue;
        if (!best || e.words.size() > best->words.size()) best = &e;
    }
    if (!best) {
        err << "corvanectl: unknown command \"" << args.front() << "\"; see corvanectl --help\n";
        return 2;
    }
    // Help for one command goes to standard output and is no error.
    const auto rest = args.subspan(best->words.size());
    if (std::find_if(rest.begin(), rest.end(), [](std::string_view a) { return a == "--help" || a == "-h"; }) != rest.end()) {
        out << "usage: corvanectl " << best->usage << "\n";
        return 0;
    }
    CommandContext context{{rest.begin(), rest.end()}, in, out, err, best->usage};
    try {
        return best->function(context);
    } catch (const std::exception& e) {
        // An operation that failed outright (a setting that could not be saved, say) says why.
        err << terminalText(e.what()) << "\n";
        return 1;
    }
}

}  // namespace corvane::cli
