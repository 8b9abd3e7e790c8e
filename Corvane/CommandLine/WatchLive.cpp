// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/CommandLine/WatchLive.hpp"

#include <csignal>
#include <ostream>
#include <thread>

#include "Corvane/Agent/AgentClient.hpp"
#include "Corvane/Agent/SnapshotCoding.hpp"
#include "Corvane/CommandLine/Commands.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane::cli {

namespace {

namespace json = boost::json;
using namespace std::chrono_literals;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void interrupt(int) { interrupted = 1; }

std::string rateText(std::int64_t bytesPerSecond) {
    const char* units[] = {"B/s", "KB/s", "MB/s", "GB/s"};
    double value = static_cast<double>(bytesPerSecond);
    int unit = 0;
    while (value >= 1000 && unit < 3) value /= 1000, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace

void printTraffic(const AppSnapshot& s, std::ostream& out, bool asJSON) {
    if (s.tunnelStatus != NEVPNStatus::connected) return;
    if (asJSON) {
        out << toJSONText(json::object{{"trafficNow", {{"up", s.trafficNow.up}, {"down", s.trafficNow.down}}}}) << std::endl;
    } else {
        out << "traffic: " << rateText(s.trafficNow.up) << " up, " << rateText(s.trafficNow.down) << " down" << std::endl;
    }
}

int followAgent(std::ostream& err, Following following) {
    struct sigaction handler {};
    handler.sa_handler = interrupt;
    ::sigemptyset(&handler.sa_mask);
    ::sigaction(SIGINT, &handler, nullptr);
    ::sigaction(SIGTERM, &handler, nullptr);

    std::optional<std::int64_t>& shownLogSeq = following.shownLogSeq;
    bool again = false;
    while (!interrupted) {
        try {
            AgentClient client;
            if (again) err << "Following the Corvane agent again." << std::endl;
            const json::value reply = client.call("watch", {{"logs", static_cast<bool>(following.logged)}});
            const std::int64_t agentLogSeq = reply.at("lastLogSeq").to_number<std::int64_t>();
            // A new agent, or a new tunnel service, numbers its lines afresh.
            if (!shownLogSeq || agentLogSeq < *shownLogSeq) shownLogSeq = agentLogSeq;
            std::shared_ptr<const AppSnapshot> state;
            std::uint64_t seq = 0;
            auto nextSecond = std::chrono::steady_clock::now() + 1s;
            while (!interrupted) {
                const auto event = client.nextEvent(200ms);
                if (state && following.everySecond && std::chrono::steady_clock::now() >= nextSecond) {
                    following.everySecond(*state);
                    nextSecond = std::chrono::steady_clock::now() + 1s;
                }
                if (!event) continue;
                const std::string_view kind = event->at("event").as_string();
                if (kind == "stopping") {
                    err << "The Corvane agent stopped." << std::endl;
                    return 0;
                }
                if (kind == "log") {
                    // A new watch starts with every line the agent keeps: only those after the shown ones are news.
                    auto lines = decodeValue<std::vector<TunnelIPC::SequencedLine>>(event->at("lines"), CodingContext{"log", "lines"});
                    std::erase_if(lines, [&](const TunnelIPC::SequencedLine& line) { return line.seq <= *shownLogSeq; });
                    if (lines.empty()) continue;
                    shownLogSeq = lines.back().seq;
                    following.logged(lines);
                    continue;
                }
                const std::uint64_t eventSeq = event->at("seq").to_number<std::uint64_t>();
                if (kind == "snapshot") {
                    state = SnapshotCoding::decode(event->at("snapshot").as_object());
                } else if (kind == "changes" && state && eventSeq == seq + 1) {
                    state = SnapshotCoding::decode(event->at("changes").as_object(), state.get());
                } else {
                    throw AgentError("the agent's stream skipped a change");  // start again from a whole snapshot
                }
                seq = eventSeq;
                if (following.changed) following.changed(*state);
            }
        } catch (const AgentError& e) {
            if (interrupted) break;
            err << "corvanectl: " << terminalText(e.what()) << "; connecting again" << std::endl;
            again = true;
            std::this_thread::sleep_for(500ms);
        }
    }
    return 0;
}

}  // namespace corvane::cli
