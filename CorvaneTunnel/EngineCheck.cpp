// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/EngineCheck.hpp"

#include <regex>
#include <stdexcept>

#include <unistd.h>

#include "CorvaneTunnel/ChildCommand.hpp"

namespace fs = std::filesystem;

namespace corvane {

namespace {

bool isExecutableFile(const fs::path& candidate) {
    std::error_code ec;
    return !candidate.empty() && fs::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0;
}

}  // namespace

std::optional<EngineChoice> findEngine(const fs::path& programFolder, const fs::path& installedFromProgram, std::string_view path,
                                       std::vector<std::string>* looked) {
    auto tried = [&](const fs::path& candidate) {
        if (looked) looked->push_back(candidate.string());
        return isExecutableFile(candidate);
    };
    if (!programFolder.empty()) {
        const fs::path installed = (programFolder / installedFromProgram).lexically_normal();
        if (tried(installed)) return EngineChoice{installed, "installed"};
        if (tried(programFolder / "sing-box")) return EngineChoice{programFolder / "sing-box", "beside the program"};
    }
    while (!path.empty()) {
        const auto colon = path.find(':');
        const fs::path dir(std::string(path.substr(0, colon)));
        path = colon == std::string_view::npos ? std::string_view{} : path.substr(colon + 1);
        if (!dir.is_absolute()) continue;  // never the current folder
        if (isExecutableFile(dir / "sing-box")) return EngineChoice{dir / "sing-box", "PATH"};
    }
    if (looked) looked->push_back("sing-box on PATH");
    return std::nullopt;
}

std::string checkEngineVersion(const fs::path& engine, std::string_view series) {
    if (!isExecutableFile(engine)) {
        throw std::runtime_error(engine.string() + " is not an executable file");
    }
    ChildCommandResult answer;
    try {
        answer = runChildCommand({engine.string(), "version"}, "", std::chrono::seconds(10));
    } catch (const std::exception& e) {
        throw std::runtime_error(e.what());
    }
    if (answer.timedOut) throw std::runtime_error(engine.string() + " did not say its version within 10 s");
    const std::string first = answer.out.substr(0, answer.out.find('\n'));
    static const std::regex versionLine(R"(^sing-box version ((\d+\.\d+)\.\d+\S*)$)");
    std::smatch match;
    if (answer.exitStatus != 0 || !std::regex_match(first, match, versionLine)) {
        std::string said = first.empty() ? answer.err.substr(0, answer.err.find('\n')) : first;
        throw std::runtime_error(engine.string() + " is not the sing-box engine (\"" + engine.string() + " version\" ended with status " +
                                 std::to_string(answer.exitStatus) + (said.empty() ? "" : " and said \"" + said + "\"") + ")");
    }
    if (match[2].str() != series) {
        throw std::runtime_error(engine.string() + " is sing-box " + match[1].str() + "; this service runs sing-box " +
                                 std::string(series) + ".x only");
    }
    return match[1].str();
}

}  // namespace corvane
