// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "CorvaneCore/Tunnel/TunnelServiceProtocol.hpp"

namespace corvane {

// A profile the store will not keep: one too many, or a text too long.
class ProfileLimitError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The saved VPN profiles, kept in one JSON file that is replaced atomically.
class ProfileStore {
public:
    explicit ProfileStore(std::filesystem::path file);

    // A damaged file is kept aside (".damaged") and the store starts empty, so
    // one bad write never stops the service.
    std::vector<TunnelProfile> all() const;
    // Replaces the profile with the same identifier. One the store does not know
    // (no identifier yet, or one removed since) takes the place of its provider's
    // saved profile, and is added (with a new identifier if it has none) only
    // when there is none: there is one tunnel, so an app keeps one profile, also
    // when two of its processes save at once.
    // Throws ProfileLimitError past TunnelServiceEndpoint's limits, std::system_error when it cannot be saved.
    TunnelProfile save(TunnelProfile profile);
    std::optional<TunnelProfile> find(const std::string& identifier) const;
    // False when there was no such profile. Throws std::system_error.
    bool remove(const std::string& identifier);

    const std::filesystem::path& path() const noexcept { return file_; }
    // Where a file that could not be read at start was put aside, if one was.
    const std::optional<std::filesystem::path>& damagedCopy() const noexcept { return damagedCopy_; }

private:
    void load();
    void persist() const;

    std::filesystem::path file_;
    std::optional<std::filesystem::path> damagedCopy_;
    mutable std::mutex mutex_;
    std::vector<TunnelProfile> profiles_;
};

}  // namespace corvane
