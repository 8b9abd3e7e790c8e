// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/MemoryEvents.hpp"

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>

namespace corvane::MemoryEvents {

namespace {

// The value of the line "<key> <number>" in a flat-keyed cgroup file.
std::optional<std::uint64_t> counter(const std::filesystem::path& file, std::string_view key) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name;
        std::uint64_t value = 0;
        if (fields >> name >> value && name == key) return value;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> oomKills(const Files& files) {
    std::ifstream in(files.processCgroups);
    std::string line;
    std::optional<std::filesystem::path> unified, legacy;
    // "0::/system.slice/corvane-tunnel.service" on cgroup v2; "4:memory:/..." where
    // the memory controller is mounted on its own v1 hierarchy.
    while (std::getline(in, line)) {
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? std::string::npos : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string id = line.substr(0, first), controllers = line.substr(first + 1, second - first - 1);
        // Relative, so that it stays below the root it is joined to; a cgroup
        // outside this namespace's view ("/../..") has no file here.
        const std::filesystem::path path = std::filesystem::path(line.substr(second + 1)).relative_path();
        bool outside = false;
        for (const auto& part : path) outside = outside || part == "..";
        if (outside) continue;
        if (id == "0" && controllers.empty()) {
            unified = path;
            continue;
        }
        std::istringstream names(controllers);
        for (std::string name; std::getline(names, name, ',');) {
            if (name == "memory") legacy = path;
        }
    }
    if (legacy) {
        if (auto n = counter(files.cgroupRoot / "memory" / *legacy / "memory.oom_control", "oom_kill")) return n;
    }
    if (unified) return counter(files.cgroupRoot / *unified / "memory.events", "oom_kill");
    return std::nullopt;
}

bool killedForMemory(int exitStatus, std::optional<std::uint64_t> before, const Files& files) {
    if (exitStatus != 128 + SIGKILL || !before) return false;
    const auto now = oomKills(files);
    return now && *now > *before;
}

}  // namespace corvane::MemoryEvents
