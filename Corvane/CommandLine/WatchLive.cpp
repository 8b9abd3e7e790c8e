#include "Corvane/CommandLine/WatchLive.hpp"

#include <ostream>

#include "Corvane/CommandLine/LogLines.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"

namespace corvane::cli {

namespace {

using namespace std::chrono_literals;
namespace json = boost::json;

std::string rateText(std::int64_t bytesPerSecond) {
    const char* units[] = {"B/s", "KB/s", "MB/s", "GB/s"};
    double value = static_cast<double>(bytesPerSecond);
    int unit = 0;
    while (value >= 1000 && unit < 3) value /= 1000, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

Async<void> liveOutput(AppModel* model, std::ostream* out, bool asJSON) {
    std::int64_t shownSeq = model->lastLogSeq;
    for (;;) {
        co_await sleepFor(1s);
        const std::int64_t seq = model->lastLogSeq;
        for (const auto& line : newLogLines(model->logLines, shownSeq, seq)) {
            if (!keeps(LogLevelFilter::warn, line.line.level)) continue;
            if (asJSON) {
                json::object o;
                o["logLine"] = encodeValue(line);
                *out << toJSONText(o) << std::endl;
            } else {
                *out << "log: " << logLineText(line) << std::endl;
            }
        }
        shownSeq = seq;
        if (model->tunnel.status() != NEVPNStatus::connected) continue;
        const TrafficSample now = model->trafficNow;
        if (asJSON) {
            json::object rate, o;
            rate["up"] = now.up;
            rate["down"] = now.down;
            o["trafficNow"] = std::move(rate);
            *out << toJSONText(o) << std::endl;
        } else {
            *out << "traffic: " << rateText(now.up) << " up, " << rateText(now.down) << " down" << std::endl;
        }
    }
}

}  // namespace

TaskHandle startLiveOutput(HeadlessModel& headless, std::ostream& out, bool asJSON) {
    return spawnTask(headless.io().get_executor(), liveOutput(&headless.model(), &out, asJSON));
}

}  // namespace corvane::cli
