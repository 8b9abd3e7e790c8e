// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CorvaneCore/Diagnostics/LogLine.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::fleet;

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

// Runs corvanectl with `input` on its standard input, through files so that no pipe can fill up.
Result corvanectl(const TempDir& dir, std::vector<std::string> args, const std::string& input) {
    writeFile(dir / "stdin", input);
    args.insert(args.begin(), CORVANECTL_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open((dir / "stdin").c_str(), O_RDONLY);
        int out = open((dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Result result;
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readFile(dir / "stdout");
    result.err = readFile(dir / "stderr");
    return result;
}

std::string jsonLines(const std::vector<LogLine>& lines) {
    std::string text;
    for (const auto& l : lines) text += encodeJSON(l) + "\n";
    return text;
}

}  // namespace

TEST(DebugSanitizeCommand, PrintsWhatAReportWouldRevealOfALog) {
    TempDir dir;
    writeFile(dir / "config.json", R"({"outbounds":[{"type":"vless","tag":"proxy-0","server":"203.0.113.10","server_port":443}]})");
    const std::vector<LogLine> input = {
        {"09:15:07", "INFO", "inbound/mixed[mixed-in]", "inbound connection from 127.0.0.1:51514"},
        {"09:15:09", "ERROR", "outbound/vless[proxy-0]", "dial tcp 203.0.113.10:443 for www.example.com:443: refused"},
        {"09:15:10", "WARN", "tunnel", "panel Panel.example answered from [2001:db8::7]:443"},
    };
    const std::string expected = jsonLines({
        {"09:15:09", "ERROR", "outbound/vless[proxy-0]", "dial tcp 203.0.113.10:443 for <destination>:443: refused"},
        {"09:15:10", "WARN", "tunnel", "panel Panel.example answered from <destination>:443"},
    });
    auto result = corvanectl(dir, {"debug", "sanitize", "--config", (dir / "config.json").string(), "--panel-host", "panel.example"},
                             jsonLines(input) + "\n");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.err, "");

    // Without a configuration only the panel is kept; without either, nothing is.
    result = corvanectl(dir, {"debug", "sanitize", "--panel-host", "panel.example"}, jsonLines(input));
    EXPECT_EQ(result.out, jsonLines({
                              {"09:15:09", "ERROR", "outbound/vless[proxy-0]", "dial tcp <destination>:443 for <destination>:443: refused"},
                              {"09:15:10", "WARN", "tunnel", "panel Panel.example answered from <destination>:443"},
                          }));
    result = corvanectl(dir, {"debug", "sanitize"}, jsonLines({input[2]}));
    EXPECT_EQ(result.out, jsonLines({{"09:15:10", "WARN", "tunnel", "panel <destination> answered from <destination>:443"}}));
}

TEST(DebugSanitizeCommand, BadInputIsNamedAndNothingIsPrinted) {
    TempDir dir;
    const std::string good = jsonLines({{"09:15:10", "WARN", "tunnel", "8.8.8.8"}});
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string err;
    };
    writeFile(dir / "broken.json", "{\"outbounds\": [");
    const std::vector<Case> cases = {
        {{"debug", "sanitize"}, good + "{\"ts\":\"1\",\"level\":\"INFO\",\"target\":\"t\"}\n", 1,
         "corvanectl: line 2 is not a log line: message: missing required key\n"},
        {{"debug", "sanitize"}, good + "\n" + good + "not json\n", 1, "corvanectl: line 4 is not a log line: "},
        {{"debug", "sanitize", "--config", (dir / "missing.json").string()}, good, 1,
         "corvanectl: cannot read the configuration file " + (dir / "missing.json").string() + "\n"},
        {{"debug", "sanitize", "--config", (dir / "broken.json").string()}, good, 1,
         "corvanectl: the configuration file " + (dir / "broken.json").string() + " is not a JSON object\n"},
        {{"debug", "sanitize", "--panel-host"}, good, 2, "usage: corvanectl debug sanitize [--config FILE] [--panel-host HOST]\n"},
        {{"debug", "sanitize", "extra"}, good, 2, "usage: corvanectl debug sanitize [--config FILE] [--panel-host HOST]\n"},
    };
    for (const auto& c : cases) {
        auto result = corvanectl(dir, c.args, c.input);
        EXPECT_EQ(result.status, c.status) << c.err;
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(result.err.starts_with(c.err)) << result.err;
    }
}
