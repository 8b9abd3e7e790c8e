// SPDX-License-Identifier: GPL-3.0-or-later
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
    // The LAN share answers devices on the LAN from this address and port. Only
    // replies from the engine's account pass: any program could bind them.
    std::optional<std::string> lanShareAddress;
    std::uint16_t lanSharePort = 0;
    std::optional<std::uint32_t> engineUID;
    // Private networks, link-local and multicast stay reachable (the user's choice).
    bool allowLAN = false;
    // The block stands for the lockdown setting alone, with no session wanted.
    bool lockdown = false;

    bool operator==(const KillSwitchRules&) const = default;
};

// The nftables text that replaces the table "inet corvane" in one transaction:
// creating and deleting it first makes the load the same whether a table from
// an earlier run (or a crash) exists or not, so it is never doubled.
std::string killSwitchRuleset(const KillSwitchRules& rules);
// The text that removes the table, whether or not it exists.
std::string killSwitchRemoval();

// Keeps traffic that does not go through the tunnel from leaving the machine,
// its own and what it routes for guests (containers, VMs, a shared
// connection), from a connect until the user disconnects: while connecting,
// after the engine dies and while the service itself is down or restarts (the
// table is kernel state).
// Whether the block is intended lives in `stateDirectory`, so a service that
// restarts after a crash puts the table back. Not thread-safe: the service
// calls it from its own executor.
class KillSwitch {
public:
    // "Always require the tunnel": block whenever no tunnel is up, from the
    // service's start on and across disconnects, until it is turned off.
    struct Lockdown {
        bool enabled = false;
        bool allowLAN = false;
        bool operator==(const Lockdown&) const = default;
    };

    // Reads the lockdown setting kept in `stateDirectory` (off when absent or unreadable).
    explicit KillSwitch(std::filesystem::path stateDirectory);

    const Lockdown& lockdown() const noexcept { return lockdown_; }
    // Keeps the setting for later starts; the caller applies it to the table.
    // Throws std::runtime_error when it cannot be saved.
    void setLockdown(Lockdown lockdown);
    // The rules of a block that stands for the lockdown alone.
    KillSwitchRules lockdownRules() const;

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
    std::filesystem::path lockdownFile_;
    std::optional<KillSwitchRules> engaged_;
    Lockdown lockdown_;
};

// Runs nftables commands, all of them in one transaction, through the nft
// command (a program of its own: libnftables is GPL-2.0-only, which a
// GPL-3.0-or-later program may not link); throws std::runtime_error with
// nftables' error text when a command fails, and returns what it printed.
// With `json`, `commands` is one command of plain words (a listing).
std::string runNftables(const std::string& commands, bool json = false);

}  // namespace corvane
