// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace corvane::MemoryEvents {

// Where a process's memory cgroup is found: its /proc/<pid>/cgroup and the
// cgroup file systems' mount point.
struct Files {
    std::filesystem::path processCgroups = "/proc/self/cgroup";
    std::filesystem::path cgroupRoot = "/sys/fs/cgroup";
};

// How many processes the kernel's OOM killer has ended in the memory cgroup of
// the process that `files` describes (and in the cgroups below it): the
// oom_kill counter of cgroup v2's memory.events, or of cgroup v1's
// memory.oom_control where the memory controller is still on v1. Nothing when
// neither can be read (no cgroup of its own, an older kernel). Never throws.
std::optional<std::uint64_t> oomKills(const Files& files = {});

// Whether a process of that cgroup that ended with `exitStatus` (128 + signal
// for a signal) was ended by the OOM killer: it was killed by SIGKILL, and the
// counter, `before` when it started, has risen since.
bool killedForMemory(int exitStatus, std::optional<std::uint64_t> before, const Files& files = {});

// What the service says when the engine was ended for it.
inline constexpr std::string_view engineKilledForMemory =
    "the engine was stopped by the kernel for using more memory than the service may use "
    "(the memory limit of its cgroup: MemoryMax= in the systemd unit)";

}  // namespace corvane::MemoryEvents
