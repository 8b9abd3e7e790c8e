// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The engine the service runs, and what chose it.
struct EngineChoice {
    std::filesystem::path path;
    std::string source;  // "--engine", "$CORVANE_ENGINE", "installed", "beside the program", "PATH"
};

// The engine to run when none is named (--engine, $CORVANE_ENGINE): the
// installed one (`installedFromProgram`, relative to the program's folder
// `programFolder`), so that no other package's sing-box on PATH wins; then a
// sing-box beside the program (a build tree's link); then one in an absolute
// folder of `path` ($PATH). None found: nullopt, and `looked` says where it looked.
std::optional<EngineChoice> findEngine(const std::filesystem::path& programFolder,
                                       const std::filesystem::path& installedFromProgram, std::string_view path,
                                       std::vector<std::string>* looked = nullptr);

// Asks `engine` for its version ("sing-box version 1.12.23"); returns it
// ("1.12.23") when it is of `series` ("1.12"). Throws std::runtime_error with
// a reason for the administrator when it cannot be run, does not answer, or is
// of another series.
std::string checkEngineVersion(const std::filesystem::path& engine, std::string_view series);

}  // namespace corvane
