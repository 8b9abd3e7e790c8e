// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "CorvaneTunnel/EngineLog.hpp"

using namespace corvane;

namespace {

// 2025-06-01 21:30:00 UTC
const auto kReceived = std::chrono::system_clock::time_point(std::chrono::seconds(1748813400));

}  // namespace

TEST(EngineLog, SplitsEveryFormTheEngineWrites) {
    struct Case {
        const char* line;
        LogLine expected;
    };
    const Case cases[] = {
        {"+0000 2025-06-01 09:15:07 INFO [3735928559 0ms] inbound/mixed[mixed-in]: inbound connection from 127.0.0.1:51514",
         {"09:15:07", "INFO", "inbound/mixed[mixed-in]", "inbound connection from 127.0.0.1:51514"}},
        {"+0800 2025-06-01 09:15:12 ERROR [1234567890 5.0s] connection: open connection to 203.0.113.50:443 using "
         "outbound/direct[direct]: dial tcp 203.0.113.50:443: i/o timeout",
         {"01:15:12", "ERROR", "connection",
          "open connection to 203.0.113.50:443 using outbound/direct[direct]: dial tcp 203.0.113.50:443: i/o timeout"}},
        // A negative offset across midnight.
        {"-0530 2025-06-01 20:00:00 WARN dns: exchange failed", {"01:30:00", "WARN", "dns", "exchange failed"}},
        {"+0100 2025-06-01 00:10:00 INFO sing-box started (0.122s)", {"23:10:00", "INFO", "", "sing-box started (0.122s)"}},
        {"\x1b[36mINFO\x1b[0m[0012] \x1b[38;5;42m[42 1m5s]\x1b[0m outbound/vless[proxy-0]: outbound connection to x:443",
         {"21:30:00", "INFO", "outbound/vless[proxy-0]", "outbound connection to x:443"}},
        {"FATAL[0000] start service: start inbound/mixed[mixed-in]: listen tcp 127.0.0.1:2080: bind: address already in use",
         {"21:30:00", "FATAL", "",
          "start service: start inbound/mixed[mixed-in]: listen tcp 127.0.0.1:2080: bind: address already in use"}},
        {"INFO clash-api: restful api listening at 127.0.0.1:9090",
         {"21:30:00", "INFO", "clash-api", "restful api listening at 127.0.0.1:9090"}},
        {"panic: runtime error: index out of range\r", {"21:30:00", "ERROR", "", "panic: runtime error: index out of range"}},
        {"goroutine 1 [running]:", {"21:30:00", "INFO", "", "goroutine 1 [running]:"}},
        // Bracketed text that is not a connection id stays in the message.
        {"+0000 2025-06-01 09:15:07 INFO [not an id] router: x", {"09:15:07", "INFO", "", "[not an id] router: x"}},
        {"+0000 2025-06-01 09:15:07 INFO service/resolved[dns-in]: up", {"09:15:07", "INFO", "service/resolved[dns-in]", "up"}},
        {"", {"21:30:00", "INFO", "", ""}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseEngineLogLine(c.line, kReceived), c.expected) << c.line;
    }
}

TEST(EngineLog, TellsTheLinesThatAnnounceTheEnginesEnd) {
    auto ends = [](const char* line) { return announcesEngineEnd(parseEngineLogLine(line, kReceived)); };
    EXPECT_TRUE(ends("FATAL[0000] start service: boom"));
    EXPECT_TRUE(ends("PANIC[0003] unexpected"));
    EXPECT_TRUE(ends("panic: runtime error: index out of range"));
    EXPECT_TRUE(ends("fatal error: concurrent map writes"));
    EXPECT_FALSE(ends("+0000 2025-06-01 09:15:12 ERROR [1 5.0s] connection: open connection: i/o timeout"));
    EXPECT_FALSE(ends("+0000 2025-06-01 09:15:12 INFO router: panic: is only a word here"));
    EXPECT_FALSE(ends("goroutine 1 [running]:"));
}
