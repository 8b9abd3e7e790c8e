// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the app and the tunnel service must agree on: the provider's identifier,
// the start option that carries the engine configuration, and the JSON
// messages the app sends to the running provider with their replies.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "CorvaneCore/Diagnostics/LogLine.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane::TunnelIPC {

// Written into the VPN profile; recognises the app's own saved profile.
inline constexpr std::string_view providerBundleIdentifier = "com.corvane.client.tunnel";

namespace StartOption {
// The start option whose value is the engine configuration text.
inline constexpr std::string_view config = "config";
}  // namespace StartOption

// One request to the running provider. Travels as an object with exactly one
// key, the case name, holding an object with the case's value:
// {"status":{}}, {"logs":{"after":42}}, {"recoverNetwork":{"clashPort":9090}}.
class Request {
public:
    // Answered with a StatusReply.
    struct Status {
        bool operator==(const Status&) const = default;
    };
    // Answered with a LogsReply: the lines after the highest sequence number the app holds.
    struct Logs {
        std::int64_t after = 0;
        bool operator==(const Logs&) const = default;
    };
    // Answered with an ActionReply: reset the network of the running service.
    struct RecoverNetwork {
        std::int64_t clashPort = 0;
        bool operator==(const RecoverNetwork&) const = default;
    };
    using Value = std::variant<Status, Logs, RecoverNetwork>;

    static constexpr std::string_view recordName = "TunnelIPC.Request";

    static Request status() { return Request(Status{}); }
    static Request logs(std::int64_t after) { return Request(Logs{after}); }
    static Request recoverNetwork(std::int64_t clashPort) { return Request(RecoverNetwork{clashPort}); }

    const Value& value() const noexcept { return value_; }
    template <class Case>
    const Case* as() const noexcept {
        return std::get_if<Case>(&value_);
    }

    bool operator==(const Request&) const = default;
    // Fails with "Invalid number of keys found, expected one." unless exactly one
    // case key is present; keys that name no case are not counted.
    static Request decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;

private:
    explicit Request(Value value) : value_(value) {}
    Value value_;
};

struct ActionReply {
    static constexpr std::string_view recordName = "TunnelIPC.ActionReply";
    bool performed = false;

    bool operator==(const ActionReply&) const = default;
    static ActionReply decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct StatusReply {
    static constexpr std::string_view recordName = "TunnelIPC.StatusReply";
    std::optional<std::int64_t> clashPort;    // where the engine's control API listens on 127.0.0.1
    std::optional<std::string> clashSecret;   // its bearer secret
    std::optional<std::string> lastError;     // the last error the service recorded
    std::optional<std::int64_t> startedAtUnix;
    // The account whose listener the control port is (the engine's): the secret
    // goes to that port only while the kernel shows it as this account's.
    std::optional<std::int64_t> clashOwnerUID;
    // User mode: where the engine offers the tunnel as a local proxy, "127.0.0.1:2080".
    std::optional<std::string> localProxy;

    bool operator==(const StatusReply&) const = default;
    static StatusReply decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct SequencedLine {
    static constexpr std::string_view recordName = "TunnelIPC.SequencedLine";
    std::int64_t seq = 0;  // increases with every line the service logs
    LogLine line;

    bool operator==(const SequencedLine&) const = default;
    static SequencedLine decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct LogsReply {
    static constexpr std::string_view recordName = "TunnelIPC.LogsReply";
    std::vector<SequencedLine> lines;

    bool operator==(const LogsReply&) const = default;
    static LogsReply decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

}  // namespace corvane::TunnelIPC
