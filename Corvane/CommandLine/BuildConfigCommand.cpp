// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl build-config: prints the engine configuration that a connect
// without exits or site probing would use, from a server list saved from the panel.

#include <cerrno>
#include <cstring>
#include <istream>
#include <iterator>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "Corvane/CommandLine/Commands.hpp"
#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "CorvaneCore/Panel/PanelRecords.hpp"
#include "CorvaneCore/Support/AtomicFile.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane::cli {

namespace {

constexpr std::string_view kUsage =
    "build-config --server-list FILE [--no-smart-routing] [--no-rule-sets] "
    "[--lan-listen ADDRESS (--lan-password-stdin | --lan-password-file FILE)] [--clash-listen ADDRESS] [--probe-url URL] "
    "[--resolver ADDRESS]";

struct Options {
    std::string serverList;
    bool smartRouting = true;
    bool ruleSets = true;
    std::optional<std::string> lanListen;
    // The LAN share's password never comes from an argument: every local user can read those.
    bool lanPasswordFromStdin = false;
    std::optional<std::string> lanPasswordFile;
    std::string clashListen{ConfigBuilder::defaultClashListen};
    std::optional<std::string> probeURL;
    std::optional<std::string> resolver;  // both resolvers
};

// A failure whose text is the last line the user sees; `context`, when given, comes on the line before.
struct Failure {
    std::string context;
    std::string description;
};

struct UsageError {
    std::string message;
};

Options parseOptions(const std::vector<std::string_view>& args) {
    Options options;
    bool haveServerList = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw UsageError{std::string(arg) + " needs a value"};
            return std::string(args[++i]);
        };
        if (arg == "--server-list") {
            options.serverList = value();
            haveServerList = true;
        } else if (arg == "--no-smart-routing") {
            options.smartRouting = false;
        } else if (arg == "--no-rule-sets") {
            options.ruleSets = false;
        } else if (arg == "--lan-listen") {
            options.lanListen = value();
        } else if (arg == "--lan-password-stdin") {
            options.lanPasswordFromStdin = true;
        } else if (arg == "--lan-password-file") {
            options.lanPasswordFile = value();
        } else if (arg == "--lan-password") {
            throw UsageError{"--lan-password would show the password to every user of this machine; "
                             "use --lan-password-stdin or --lan-password-file FILE"};
        } else if (arg == "--clash-listen") {
            options.clashListen = value();
        } else if (arg == "--probe-url") {
            options.probeURL = value();
        } else if (arg == "--resolver") {
            options.resolver = value();
        } else {
            throw UsageError{"unknown option " + std::string(arg)};
        }
    }
    if (!haveServerList) throw UsageError{"--server-list is required"};
    if (options.lanPasswordFromStdin && options.lanPasswordFile) {
        throw UsageError{"--lan-password-stdin and --lan-password-file: give the password one way"};
    }
    if (options.lanPasswordFromStdin && options.serverList == "-") {
        throw UsageError{"--lan-password-stdin and --server-list - both read standard input; give the server list as a file"};
    }
    return options;
}

// The first line of `in`, without its line end; nothing when there is none.
std::optional<std::string> firstLine(std::istream& in) {
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::optional<std::string> readLanPassword(const Options& options, std::istream& in) {
    if (options.lanPasswordFromStdin) {
        auto line = firstLine(in);
        if (!line) throw Failure{{}, "no LAN password on standard input"};
        return line;
    }
    if (!options.lanPasswordFile) return std::nullopt;
    const std::string& file = *options.lanPasswordFile;
    std::optional<std::string> text;
    try {
        text = readFileIfExists(file);
    } catch (const std::system_error& e) {
        throw Failure{{}, "cannot read " + file + ": " + e.code().message()};
    }
    if (!text) throw Failure{{}, "cannot read " + file + ": " + std::strerror(ENOENT)};
    std::istringstream lines(*text);
    return firstLine(lines).value_or("");
}

std::string readServerList(const std::string& file, std::istream& in) {
    if (file == "-") {
        std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (in.bad()) throw Failure{{}, "cannot read the server list from standard input"};
        return text;
    }
    try {
        auto text = readFileIfExists(file);
        if (!text) throw Failure{{}, "cannot read " + file + ": " + std::strerror(ENOENT)};
        return std::move(*text);
    } catch (const std::system_error& e) {
        throw Failure{{}, "cannot read " + file + ": " + e.code().message()};
    }
}

// The first entry of each VPS, in order.
std::vector<ServerListEntry> onePerVPS(const std::vector<ServerListEntry>& servers) {
    std::vector<ServerListEntry> out;
    std::set<std::int64_t> seen;
    for (const auto& server : servers) {
        if (seen.insert(server.vpsId).second) out.push_back(server);
    }
    return out;
}

ShareUrl parseShare(const ServerListEntry& server, std::string_view key, const std::string& url) {
    try {
        return ShareUrlParser::parse(url);
    } catch (const ShareUrlError& e) {
        throw Failure{"the " + std::string(key) + " of server " + std::to_string(server.vpsId) + " (" + server.name +
                          ") cannot be used:",
                      e.description()};
    }
}

std::string buildConfig(const Options& options, std::istream& in) {
    std::optional<std::string> lanPassword = readLanPassword(options, in);
    std::string text = readServerList(options.serverList, in);
    ServerListResponse list;
    try {
        list = decodeJSON<ServerListResponse>(std::string_view(text));
    } catch (const DecodingError& e) {
        throw Failure{options.serverList + " is not a server list:", e.description()};
    }

    ConfigBuilder::Inputs inputs;
    for (const auto& server : onePerVPS(list.servers)) {
        inputs.shares.push_back(parseShare(server, "hysteria2_url", server.hysteria2Url));
        inputs.shares.push_back(parseShare(server, "reality_url", server.realityUrl));
    }
    inputs.smartRouting = options.smartRouting;
    inputs.includeRuleSets = options.ruleSets;
    inputs.shareOverLanListen = options.lanListen;
    inputs.shareOverLanPassword = std::move(lanPassword);
    inputs.clashListen = options.clashListen;
    inputs.sites = list.sites;
    if (options.probeURL) inputs.urlTestURL = *options.probeURL;
    if (options.resolver) inputs.resolvers = {.proxy = *options.resolver, .direct = *options.resolver};
    try {
        return ConfigBuilder::build(inputs).serialize(2) + "\n";
    } catch (const ConfigBuilder::BuildError& e) {
        throw Failure{{}, e.description()};
    }
}

int run(CommandContext& context) {
    Options options;
    try {
        options = parseOptions(context.args);
    } catch (const UsageError& e) {
        context.err << "corvanectl build-config: " << e.message << "\nUsage: corvanectl " << kUsage << "\n";
        return 2;
    }
    try {
        // Built completely before anything is written, so a failure prints nothing on standard output.
        std::string config = buildConfig(options, context.in);
        context.out << config << std::flush;
        return 0;
    } catch (const Failure& failure) {
        if (!failure.context.empty()) context.err << "corvanectl build-config: " << failure.context << "\n";
        context.err << failure.description << "\n";
    } catch (const std::exception& e) {
        context.err << e.what() << "\n";
    }
    return 1;
}

const CommandRegistration registration{"build-config", kUsage, &run};

}  // namespace

}  // namespace corvane::cli
