// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace corvane {

// A random version-4 UUID from the system's CSPRNG, upper-case like "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
std::string makeUUID();

// Fills `size` bytes from the system's CSPRNG; throws std::runtime_error if it fails.
void randomBytes(void* buffer, std::size_t size);

// Writes `contents` to ".tmp-" plus a UUID beside `path`, flushes it to disk and
// renames it over `path`, so readers see the old file or the new one, never a
// half-written one. The file gets `mode`. Throws std::system_error. The
// temporary file stays locked (flock) until it has been renamed, which tells a
// live writer's file from one a killed writer left.
void writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         std::filesystem::perms mode = std::filesystem::perms(0644));

// Removes the ".tmp-" files in `directory` that writers killed mid-write left
// behind (those no live writer holds locked); returns how many went. A missing
// directory has none; other failures are skipped, as a later start tries again.
std::size_t removeAbandonedTemporaries(const std::filesystem::path& directory);

// The whole file, or nothing when it does not exist. Throws std::system_error for other failures.
std::optional<std::string> readFileIfExists(const std::filesystem::path& path);
// The same, with other failures in `error` (and nothing returned) instead of thrown.
std::optional<std::string> readFileIfExists(const std::filesystem::path& path, std::error_code& error);

}  // namespace corvane
