// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CorvaneCore/Diagnostics/DiagnosticReport.hpp"
#include "CorvaneCore/Diagnostics/LogLine.hpp"

namespace corvane {

// Turns a snapshot of the client's state into a report that is safe to send:
// destinations scrubbed, the configuration's secrets masked, the log tail
// sanitised and bounded, and a hint drawn from a fatal engine error. Pure.
namespace ReportBuilder {

inline constexpr std::size_t maxLogLines = 200;

// One IPv4 address of one network interface.
struct InterfaceAddress {
    std::string name;
    std::string ipv4;
    bool operator==(const InterfaceAddress&) const = default;
};

struct Input {
    std::string trigger;  // why the report was made, e.g. "manual"
    std::optional<std::string> userDescription;
    std::string appVersion;
    std::chrono::system_clock::time_point now;
    std::string os;
    std::string osVersion;
    std::string arch;
    std::optional<std::string> locale;
    std::optional<std::string> timezone;
    std::optional<std::uint64_t> uptimeSecs;
    std::optional<std::uint64_t> freeDiskBytes;
    std::vector<InterfaceAddress> interfaces;
    std::optional<std::string> error;  // the last tunnel error
    std::vector<LogLine> logs;         // oldest first
    std::optional<std::string> configJSON;
    std::optional<std::string> panelHost;
    std::optional<std::string> activeTag;
    bool tunnelUp = false;
    // While the kill switch blocks traffic outside the tunnel: the packets it refused so far.
    std::optional<std::uint64_t> rejectedPackets;

    bool operator==(const Input&) const = default;
};

DiagnosticReport build(const Input& input);

// A hint of kind "kill_switch" with the block's counter of refused packets
// (a count only: no address, nothing about what was refused).
DiagnosticHint killSwitchHint(std::uint64_t rejectedPackets);

// A hint of kind "singbox_fatal" naming the reason of an engine failure such as
// "FATAL[0000] start service: <reason>"; nothing when the text is blank.
std::optional<DiagnosticHint> fatalHint(std::string_view text);

// Whether an interface name is one of a tunnel: "utun…" on macOS, "tun…" on
// Linux, and the "Corvane" interface this client's tunnel creates.
bool isTunnelInterface(std::string_view name);

}  // namespace ReportBuilder

}  // namespace corvane
