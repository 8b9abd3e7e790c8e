// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane {

// One log record, as kept in the log buffers, sent from the tunnel service to
// the app and attached to diagnostic reports.
struct LogLine {
    static constexpr std::string_view recordName = "LogLine";
    std::string ts;  // UTC time of day, "HH:MM:SS"
    std::string level;
    std::string target;
    std::string message;

    bool operator==(const LogLine&) const = default;
    static LogLine decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

}  // namespace corvane
