// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/panel-sim/World.hpp"

#include <fstream>
#include <set>
#include <sstream>

#include <arpa/inet.h>

namespace corvane::panelsim {

SimUser SimUser::decode(const RecordDecoder& d) {
    return {.email = d.required<std::string>("email"), .password = d.required<std::string>("password")};
}
void SimUser::encode(RecordEncoder& e) const {
    e.set("email", email);
    e.set("password", password);
}

SimVps SimVps::decode(const RecordDecoder& d) {
    return {
        .vpsId = d.required<std::int64_t>("vps_id"),
        .name = d.required<std::string>("name"),
        .region = d.optional<std::string>("region"),
        .address = d.defaulted<std::string>("address", "127.0.0.1"),
        .configVersion = d.defaulted<std::int64_t>("config_version", 1),
    };
}
void SimVps::encode(RecordEncoder& e) const {
    e.set("vps_id", vpsId);
    e.set("name", name);
    e.setOptional("region", region);
    e.set("address", address);
    e.set("config_version", configVersion);
}

SimExit SimExit::decode(const RecordDecoder& d) {
    return {
        .exitId = d.required<std::int64_t>("exit_id"),
        .vpsId = d.required<std::int64_t>("vps_id"),
        .name = d.required<std::string>("name"),
        .region = d.optional<std::string>("region"),
        .address = d.optional<std::string>("address"),
        .provider = d.defaulted<std::string>("provider", "demo"),
        .allowanceGb = d.required<double>("allowance_gb"),
        .lowThresholdGb = d.defaulted<double>("low_threshold_gb", 0),
        .fallbackOnExhaustion = d.defaulted<bool>("fallback_on_exhaustion", true),
        .ready = d.defaulted<bool>("ready", true),
    };
}
void SimExit::encode(RecordEncoder& e) const {
    e.set("exit_id", exitId);
    e.set("vps_id", vpsId);
    e.set("name", name);
    e.setOptional("region", region);
    e.setOptional("address", address);
    e.set("provider", provider);
    e.set("allowance_gb", allowanceGb);
    e.set("low_threshold_gb", lowThresholdGb);
    e.set("fallback_on_exhaustion", fallbackOnExhaustion);
    e.set("ready", ready);
}

SimRelease SimRelease::decode(const RecordDecoder& d) {
    return {
        .latest = d.required<std::string>("latest"),
        .minimum = d.optional<std::string>("minimum"),
        .downloadUrl = d.required<std::string>("download_url"),
        .sha256 = d.defaulted<std::string>("sha256", ""),
        .filename = d.defaulted<std::string>("filename", ""),
        .sizeBytes = d.defaulted<std::int64_t>("size_bytes", 0),
        .uploadedAt = d.defaulted<std::string>("uploaded_at", ""),
    };
}
void SimRelease::encode(RecordEncoder& e) const {
    e.set("latest", latest);
    e.setOptional("minimum", minimum);
    e.set("download_url", downloadUrl);
    e.set("sha256", sha256);
    e.set("filename", filename);
    e.set("size_bytes", sizeBytes);
    e.set("uploaded_at", uploadedAt);
}

SimRuleSet SimRuleSet::decode(const RecordDecoder& d) {
    return {.repo = d.required<std::string>("repo"), .rules = d.required<std::vector<JSONValue>>("rules")};
}
void SimRuleSet::encode(RecordEncoder& e) const {
    e.set("repo", repo);
    e.set("rules", rules);
}

World World::decode(const RecordDecoder& d) {
    return {
        .users = d.required<std::vector<SimUser>>("users"),
        .vpses = d.defaulted<std::vector<SimVps>>("vpses", {}),
        .exits = d.defaulted<std::vector<SimExit>>("exits", {}),
        .sites = d.defaulted<std::vector<SiteAccess>>("sites", {}),
        .version = d.optional<SimRelease>("version"),
        .ruleSets = d.defaulted<std::map<std::string, SimRuleSet>>("rule_sets", {}),
        .tokenLifetimeHours = d.defaulted<double>("token_lifetime_hours", 24),
    };
}
void World::encode(RecordEncoder& e) const {
    e.set("users", users);
    e.set("vpses", vpses);
    e.set("exits", exits);
    e.set("sites", sites);
    e.setOptional("version", version);
    e.set("rule_sets", ruleSets);
    e.set("token_lifetime_hours", tokenLifetimeHours);
}

namespace {

bool isLoopback(const std::string& address) {
    in_addr a{};
    return ::inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

// Rules a decoder cannot see: unique ids, exits behind listed servers, loopback only.
void check(const World& w) {
    std::set<std::int64_t> vpsIds, exitIds, siteIds;
    for (std::size_t i = 0; i < w.vpses.size(); ++i) {
        const auto& v = w.vpses[i];
        std::string at = "vpses[" + std::to_string(i) + "]";
        if (!vpsIds.insert(v.vpsId).second) throw WorldError(at + ".vps_id: " + std::to_string(v.vpsId) + " is used twice");
        if (!isLoopback(v.address)) throw WorldError(at + ".address: must be a 127.x.y.z address (the fleet stays on loopback)");
    }
    for (std::size_t i = 0; i < w.exits.size(); ++i) {
        const auto& x = w.exits[i];
        std::string at = "exits[" + std::to_string(i) + "]";
        if (!exitIds.insert(x.exitId).second) throw WorldError(at + ".exit_id: " + std::to_string(x.exitId) + " is used twice");
        if (!vpsIds.count(x.vpsId)) throw WorldError(at + ".vps_id: no server " + std::to_string(x.vpsId) + " in vpses");
        if (x.address && !isLoopback(*x.address)) throw WorldError(at + ".address: must be a 127.x.y.z address");
        if (x.allowanceGb < 0) throw WorldError(at + ".allowance_gb: must not be negative");
        if (x.allowanceGb > maxAllowanceGb) throw WorldError(at + ".allowance_gb: must be at most 1000000");
    }
    for (std::size_t i = 0; i < w.sites.size(); ++i) {
        if (!siteIds.insert(w.sites[i].siteId).second) {
            throw WorldError("sites[" + std::to_string(i) + "].site_id: " + std::to_string(w.sites[i].siteId) + " is used twice");
        }
    }
    if (w.users.empty()) throw WorldError("users: nobody could sign in");
    if (w.tokenLifetimeHours <= 0) throw WorldError("token_lifetime_hours: must be positive");
}

}  // namespace

World World::load(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw WorldError(file.string() + ": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    try {
        World world = decodeJSON<World>(std::string_view(text.str()));
        check(world);
        return world;
    } catch (const DecodingError& e) {
        throw WorldError(file.string() + ": " + e.description());
    } catch (const WorldError& e) {
        throw WorldError(file.string() + ": " + e.description());
    }
}

}  // namespace corvane::panelsim
