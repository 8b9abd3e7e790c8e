// SPDX-License-Identifier: GPL-3.0-or-later
// The log sanitiser: scrubbing twice changes nothing, with and without kept hosts.
// The first line of the input is read as an engine configuration for the kept
// hosts; the rest is the log text.
#include "CorvaneCore/Diagnostics/LogSanitizer.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

CORVANE_FUZZ_TARGET {
    const auto [config, log] = fuzz::halves(fuzz::text(data, size));
    const auto kept = LogSanitizer::infrastructureHosts(config, std::string("vpn.example"));
    for (const auto* keep : {&kept, static_cast<const LogSanitizer::HostSet*>(nullptr)}) {
        const LogSanitizer::HostSet none;
        const auto& hosts = keep ? *keep : none;
        const std::string once = LogSanitizer::scrub(log, hosts);
        const std::string twice = LogSanitizer::scrub(once, hosts);
        if (twice != once) fuzz::fail("scrubbing twice changes nothing", std::string(log) + "\n  once:  " + once + "\n  twice: " + twice);
    }
    (void)LogSanitizer::sanitize(LogLine{"09:15:07", "INFO", "router", std::string(log)}, kept);
    return 0;
}
