// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The demo panel's world, read from a JSON file (examples/panel-sim.json):
// who may sign in, which servers, exits and sites they get, and the release
// the panel publishes.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CorvaneCore/Panel/PanelRecords.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane::panelsim {

struct SimUser {
    static constexpr std::string_view recordName = "user";
    std::string email;
    std::string password;

    static SimUser decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// One entry server; it listens on its own loopback address.
struct SimVps {
    static constexpr std::string_view recordName = "vps";
    std::int64_t vpsId = 0;
    std::string name;
    std::optional<std::string> region;
    std::string address = "127.0.0.1";
    std::int64_t configVersion = 1;

    static SimVps decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// A metered exit behind one entry server, with its traffic allowance.
// Larger allowances would overflow the byte count the meter keeps (an infinite
// allowance reads as "unavailable" in the server list).
inline constexpr double maxAllowanceGb = 1e6;

struct SimExit {
    static constexpr std::string_view recordName = "exit";
    std::int64_t exitId = 0;
    std::int64_t vpsId = 0;
    std::string name;
    std::optional<std::string> region;
    // The exit's traffic leaves from this loopback address.
    std::optional<std::string> address;
    std::string provider = "demo";
    double allowanceGb = 1;
    double lowThresholdGb = 0;
    bool fallbackOnExhaustion = true;
    bool ready = true;

    static SimExit decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// The release the panel offers every platform.
struct SimRelease {
    static constexpr std::string_view recordName = "version";
    std::string latest;
    std::optional<std::string> minimum;
    std::string downloadUrl;
    std::string sha256;
    std::string filename;
    std::int64_t sizeBytes = 0;
    std::string uploadedAt;

    static SimRelease decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// A rule set the panel serves as <repo>/rule-set/<tag>.srs, compiled from these source rules.
struct SimRuleSet {
    static constexpr std::string_view recordName = "rule_set";
    std::string repo;
    std::vector<JSONValue> rules;

    static SimRuleSet decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct World {
    static constexpr std::string_view recordName = "world";
    std::vector<SimUser> users;
    std::vector<SimVps> vpses;
    std::vector<SimExit> exits;
    std::vector<SiteAccess> sites;
    std::optional<SimRelease> version;
    std::map<std::string, SimRuleSet> ruleSets;
    double tokenLifetimeHours = 24;

    static World decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;

    // Throws WorldError naming the file, the key and what is wrong.
    static World load(const std::filesystem::path& file);
};

class WorldError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    std::string description() const { return what(); }
};

}  // namespace corvane::panelsim
