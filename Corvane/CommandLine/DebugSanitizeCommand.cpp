// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl debug sanitize: shows exactly what a diagnostic report would reveal
// of a log. Log lines in, as JSON lines; the sanitised lines out, dropped ones left out.
#include <fstream>
#include <istream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "Corvane/CommandLine/Commands.hpp"
#include "CorvaneCore/Diagnostics/LogLine.hpp"
#include "CorvaneCore/Diagnostics/LogSanitizer.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"

namespace corvane::cli {

namespace {

constexpr const char* usageText = "debug sanitize [--config FILE] [--panel-host HOST]";

int usage(std::ostream& err) {
    err << "usage: corvanectl " << usageText << "\n";
    return 2;
}

int debugSanitize(CommandContext& ctx) {
    std::optional<std::string> configFile;
    std::optional<std::string> panelHost;
    for (std::size_t i = 0; i < ctx.args.size(); ++i) {
        auto a = ctx.args[i];
        if (a == "--config" && i + 1 < ctx.args.size() && !configFile) {
            configFile = std::string(ctx.args[++i]);
        } else if (a == "--panel-host" && i + 1 < ctx.args.size() && !panelHost) {
            panelHost = std::string(ctx.args[++i]);
        } else {
            return usage(ctx.err);
        }
    }

    std::string config = "{}";
    if (configFile) {
        std::ifstream in(*configFile, std::ios::binary);
        std::stringstream text;
        if (!in || !(text << in.rdbuf())) {
            ctx.err << "corvanectl: cannot read the configuration file " << *configFile << "\n";
            return 1;
        }
        config = text.str();
        // A configuration that is not JSON would silently keep nothing but the panel.
        try {
            if (!JSONValue::parse(config).isObject()) throw JSONError("not a JSON object");
        } catch (const JSONError& e) {
            ctx.err << "corvanectl: the configuration file " << *configFile << " is not a JSON object\n";
            return 1;
        }
    }
    const auto keep = LogSanitizer::infrastructureHosts(config, panelHost);

    // Every line is read before anything is written, so bad input leaves no partial output.
    std::vector<LogLine> lines;
    std::string text;
    for (std::size_t number = 1; std::getline(ctx.in, text); ++number) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.find_first_not_of(" \t") == std::string::npos) continue;
        try {
            lines.push_back(decodeJSON<LogLine>(std::string_view(text)));
        } catch (const DecodingError& e) {
            ctx.err << "corvanectl: line " << number << " is not a log line: " << e.description() << "\n";
            return 1;
        }
    }

    std::string out;
    for (const auto& line : LogSanitizer::sanitize(lines, keep)) {
        out += encodeJSON(line);
        out += '\n';
    }
    ctx.out << out;
    ctx.out.flush();
    return ctx.out ? 0 : 1;
}

const CommandRegistration registration{"debug sanitize", usageText, &debugSanitize};

}  // namespace

}  // namespace corvane::cli
