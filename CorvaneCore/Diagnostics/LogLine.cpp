// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Diagnostics/LogLine.hpp"

namespace corvane {

LogLine LogLine::decode(const RecordDecoder& d) {
    return {
        .ts = d.required<std::string>("ts"),
        .level = d.required<std::string>("level"),
        .target = d.required<std::string>("target"),
        .message = d.required<std::string>("message"),
    };
}

void LogLine::encode(RecordEncoder& e) const {
    e.set("ts", ts);
    e.set("level", level);
    e.set("target", target);
    e.set("message", message);
}

}  // namespace corvane
