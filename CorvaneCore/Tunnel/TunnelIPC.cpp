// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Tunnel/TunnelIPC.hpp"

#include <array>

#include <boost/json/object.hpp>

namespace corvane::TunnelIPC {

namespace {

constexpr std::string_view kStatus = "status";
constexpr std::string_view kLogs = "logs";
constexpr std::string_view kRecoverNetwork = "recoverNetwork";

// The nested object of one case; its contents are read by the caller.
RecordDecoder caseDecoder(const RecordDecoder& d, std::string_view key) {
    return RecordDecoder(*d.object().if_contains(key), d.context().member(key));
}

}  // namespace

Request Request::decode(const RecordDecoder& d) {
    std::string_view found;
    int count = 0;
    for (std::string_view key : std::array{kStatus, kLogs, kRecoverNetwork}) {
        if (d.contains(key)) {
            found = key;
            ++count;
        }
    }
    if (count != 1) d.context().fail("Invalid number of keys found, expected one.");

    RecordDecoder inner = caseDecoder(d, found);
    if (found == kLogs) return logs(inner.required<std::int64_t>("after"));
    if (found == kRecoverNetwork) return recoverNetwork(inner.required<std::int64_t>("clashPort"));
    return status();
}

void Request::encode(RecordEncoder& e) const {
    boost::json::object inner;
    std::string_view key = kStatus;
    if (const auto* logs = as<Logs>()) {
        key = kLogs;
        inner["after"] = logs->after;
    } else if (const auto* recover = as<RecoverNetwork>()) {
        key = kRecoverNetwork;
        inner["clashPort"] = recover->clashPort;
    }
    e.object()[key] = std::move(inner);
}

ActionReply ActionReply::decode(const RecordDecoder& d) { return {.performed = d.required<bool>("performed")}; }

void ActionReply::encode(RecordEncoder& e) const { e.set("performed", performed); }

StatusReply StatusReply::decode(const RecordDecoder& d) {
    return {
        .clashPort = d.optional<std::int64_t>("clashPort"),
        .clashSecret = d.optional<std::string>("clashSecret"),
        .lastError = d.optional<std::string>("lastError"),
        .startedAtUnix = d.optional<std::int64_t>("startedAtUnix"),
        .clashOwnerUID = d.optional<std::int64_t>("clashOwnerUID"),
        .localProxy = d.optional<std::string>("localProxy"),
    };
}

void StatusReply::encode(RecordEncoder& e) const {
    e.setOptional("clashPort", clashPort);
    e.setOptional("clashSecret", clashSecret);
    e.setOptional("lastError", lastError);
    e.setOptional("startedAtUnix", startedAtUnix);
    e.setOptional("clashOwnerUID", clashOwnerUID);
    e.setOptional("localProxy", localProxy);
}

SequencedLine SequencedLine::decode(const RecordDecoder& d) {
    return {.seq = d.required<std::int64_t>("seq"), .line = d.required<LogLine>("line")};
}

void SequencedLine::encode(RecordEncoder& e) const {
    e.set("seq", seq);
    e.set("line", line);
}

LogsReply LogsReply::decode(const RecordDecoder& d) { return {.lines = d.required<std::vector<SequencedLine>>("lines")}; }

void LogsReply::encode(RecordEncoder& e) const { e.set("lines", lines); }

}  // namespace corvane::TunnelIPC
