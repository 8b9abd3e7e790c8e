#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace corvane {

// What the blocking table lets through besides the tunnel itself.
struct KillSwitchRules {
    std::string tunInterface = "Corvane";
    // The engine marks every connection it makes (route.default_mark); those
    // packets carry the tunnel, its direct routes and its server bypass.
    std::uint32_t engineMark = 0x2025;
    // The LAN share answers devices on the LAN from this address and port.
    std::optional<std::string> lanShareAddress;
    std::uint16_t lanSharePort = 0;

    bool operator==(const KillSwitchRules&) const = default;
};

// The nftables text that replaces the table "inet corvane" in one transaction:
// creating and deleting it first makes the load the same whether a table from
// an earlier run (or a crash) exists or not, so it is never doubled.
std::string killSwitchRuleset(const KillSwitchRules& rules);
// The text that removes the table, whether or not it exists.
std::string killSwitchRemoval();

// Keeps traffic that does not go through the tunnel from leaving the machine,
// from a connect until the user disconnects: while connecting, after the
// engine dies and while the service itself is down (the table is kernel state).
// Whether the block is intended lives in `stateDirectory`, so a service that
// restarts after a crash puts the table back. Not thread-safe: the service
// calls it from its own executor.
class KillSwitch {
public:
    explicit KillSwitch(std::filesystem::path stateDirectory);

    // Loads the table (replacing any earlier one) and records the intent.
    // Throws std::runtime_error with nftables' own message when it cannot.
    void engage(const KillSwitchRules& rules);
    // Removes the table and the intent.
    void release();
    // After a service start: puts the table back if a block was intended when
    // the service ended. Returns whether it did; a failure is thrown.
    bool restore();

    bool engaged() const noexcept { return engaged_.has_value(); }
    const std::optional<KillSwitchRules>& rules() const noexcept { return engaged_; }
    // Packets the table refused so far, absent when no table is loaded.
    std::optional<std::uint64_t> rejectedPackets() const;

private:
    std::filesystem::path intentFile_;
    std::optional<KillSwitchRules> engaged_;
};

// Runs nftables commands in this process through libnftables; throws
// std::runtime_error with nftables' error text when a command fails, and
// returns what the command printed.
std::string runNftables(const std::string& commands, bool json = false);

}  // namespace corvane
