// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane {

// The panel's reply to "api/client/version?platform=".
struct VersionResponse {
    static constexpr std::string_view recordName = "VersionResponse";
    std::string platform;
    std::string version;
    std::string sha256;
    std::string filename;
    std::int64_t sizeBytes = 0;
    std::string downloadUrl;
    std::optional<std::string> minRequiredVersion;
    std::string uploadedAt;

    bool operator==(const VersionResponse&) const = default;
    static VersionResponse decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct UpdateStatus {
    bool updateAvailable = false;
    bool blocking = false;  // the installed build is too old to connect
    std::string latest;
    std::string installed;
    bool operator==(const UpdateStatus&) const = default;
};

namespace UpdateChecker {

UpdateStatus evaluate(const VersionResponse& response, std::string_view installed);

// The platform text this build asks the panel about: "linux-" plus the machine name.
std::string platform();

}  // namespace UpdateChecker

}  // namespace corvane
