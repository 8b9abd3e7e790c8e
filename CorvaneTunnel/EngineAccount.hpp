// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace corvane {

// The unprivileged account the system service runs its engine as.
struct EngineAccount {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The system user the packaging creates for the engine (sysusers.d).
inline constexpr std::string_view defaultEngineAccountName = "corvane-engine";

// The account of that name; nothing when there is none. Throws
// std::system_error when the lookup itself fails (out of descriptors, say).
std::optional<EngineAccount> findEngineAccount(const std::string& name);

// Makes `folder` the account's own and nobody else's (0700), creating it when
// missing and handing over what an earlier engine left in it. Throws
// std::system_error, also for a folder that is a symbolic link.
void prepareEngineFolder(const std::filesystem::path& folder, const EngineAccount& account);

// Run in the engine's child process between fork and exec: becomes `account`
// keeping only CAP_NET_ADMIN and CAP_NET_RAW (ambient, so they survive the
// exec), with no way to gain privileges again, and dies with `parent`.
// Async-signal-safe; on failure it writes a FATAL line to standard error and
// ends the child with status 126.
void becomeEngineAccount(const EngineAccount& account, pid_t parent) noexcept;

}  // namespace corvane
