// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/ProfileStore.hpp"

#include <algorithm>

#include "CorvaneCore/Support/AtomicFile.hpp"

namespace corvane {

namespace {

struct ProfileFile {
    static constexpr std::string_view recordName = "ProfileFile";
    std::vector<TunnelProfile> profiles;
    static ProfileFile decode(const RecordDecoder& d) { return {d.defaulted<std::vector<TunnelProfile>>("profiles", {})}; }
    void encode(RecordEncoder& e) const { e.set("profiles", profiles); }
};

}  // namespace

ProfileStore::ProfileStore(std::filesystem::path file) : file_(std::move(file)) {
    removeAbandonedTemporaries(file_.parent_path());  // what a service killed mid-write left
    load();
}

void ProfileStore::load() {
    std::optional<std::string> text;
    try {
        text = readFileIfExists(file_);
    } catch (const std::system_error&) {
    }
    if (!text) return;
    try {
        profiles_ = decodeJSON<ProfileFile>(std::string_view(*text)).profiles;
    } catch (const DecodingError&) {
        auto aside = file_;
        aside += ".damaged";
        std::error_code failed;
        std::filesystem::rename(file_, aside, failed);
        if (!failed) damagedCopy_ = aside;
    }
}

void ProfileStore::persist() const {
    std::filesystem::create_directories(file_.parent_path());
    writeFileAtomically(file_, encodeJSON(ProfileFile{profiles_}, 2) + "\n",
                        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

std::vector<TunnelProfile> ProfileStore::all() const {
    std::lock_guard lock(mutex_);
    return profiles_;
}

TunnelProfile ProfileStore::save(TunnelProfile profile) {
    // Every member of the service's group saves here: none may fill its disk or its replies.
    for (const std::string* text : {&profile.identifier, &profile.providerBundleIdentifier, &profile.serverAddress,
                                    &profile.localizedDescription}) {
        if (text->size() > TunnelServiceEndpoint::maxProfileFieldBytes) {
            throw ProfileLimitError("a profile's texts may be at most " + std::to_string(TunnelServiceEndpoint::maxProfileFieldBytes) +
                                    " bytes long");
        }
    }
    std::lock_guard lock(mutex_);
    auto previous = profiles_;
    auto it = std::find_if(profiles_.begin(), profiles_.end(),
                           [&](const TunnelProfile& p) { return !profile.identifier.empty() && p.identifier == profile.identifier; });
    if (it == profiles_.end()) {
        it = std::find_if(profiles_.begin(), profiles_.end(), [&](const TunnelProfile& p) {
            return p.providerBundleIdentifier == profile.providerBundleIdentifier;
        });
        if (it != profiles_.end()) {
            profile.identifier = it->identifier;
        } else if (profile.identifier.empty()) {
            profile.identifier = makeUUID();
        }
    }
    if (it != profiles_.end()) {
        *it = profile;
    } else {
        if (profiles_.size() >= TunnelServiceEndpoint::maxProfiles) {
            throw ProfileLimitError("the service keeps at most " + std::to_string(TunnelServiceEndpoint::maxProfiles) + " profiles");
        }
        profiles_.push_back(profile);
    }
    try {
        persist();
    } catch (...) {
        profiles_ = std::move(previous);  // memory and disk stay the same
        throw;
    }
    return profile;
}

std::optional<TunnelProfile> ProfileStore::find(const std::string& identifier) const {
    std::lock_guard lock(mutex_);
    for (const auto& p : profiles_) {
        if (p.identifier == identifier) return p;
    }
    return std::nullopt;
}

bool ProfileStore::remove(const std::string& identifier) {
    std::lock_guard lock(mutex_);
    auto previous = profiles_;
    if (std::erase_if(profiles_, [&](const TunnelProfile& p) { return p.identifier == identifier; }) == 0) return false;
    try {
        persist();
    } catch (...) {
        profiles_ = std::move(previous);
        throw;
    }
    return true;
}

}  // namespace corvane
