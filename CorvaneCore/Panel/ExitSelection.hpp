// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "CorvaneCore/Panel/PanelRecords.hpp"

namespace corvane {

// Pure rules for choosing an entry server and a metered exit.
namespace ExitSelection {

class SelectionError : public std::exception {
public:
    enum class Case { unavailable, wrongEntry, needsFreshList };

    static SelectionError unavailable() { return SelectionError(Case::unavailable); }
    static SelectionError wrongEntry() { return SelectionError(Case::wrongEntry); }
    static SelectionError needsFreshList() { return SelectionError(Case::needsFreshList); }

    Case kind() const noexcept { return case_; }
    const std::string& description() const noexcept;
    const char* what() const noexcept override { return description().c_str(); }
    bool operator==(const SelectionError& other) const noexcept { return case_ == other.case_; }

private:
    explicit SelectionError(Case c) : case_(c) {}
    Case case_;
};

// Exits that may be offered for the entry server `entryId`.
std::vector<ClientExit> available(std::optional<std::int64_t> entryId, const std::vector<ServerListEntry>& servers,
                                  const std::vector<ClientExit>& exits);

// The servers to build a configuration from; throws unavailable when the restricted entry is missing.
std::vector<ServerListEntry> originalServers(const std::vector<ServerListEntry>& servers,
                                             std::optional<std::int64_t> restrictedEntryId);

// The selected exit when its traffic must now go through the entry server's own exit.
std::optional<ClientExit> quotaFallback(std::optional<std::int64_t> id, std::optional<std::int64_t> entryId,
                                        const ServerListResponse& list);

// The exit to connect through, nothing without a selection; throws SelectionError.
std::optional<ClientExit> resolve(std::optional<std::int64_t> id, std::optional<std::int64_t> entryId,
                                  const ServerListResponse& list, bool fresh);

}  // namespace ExitSelection

}  // namespace corvane
