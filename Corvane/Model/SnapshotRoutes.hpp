// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Route names the front ends show, read from a snapshot. The
// model publishes pinChoice, entryName and exitName once its route flow is in;
// until then they are worked out here from the same published fields and rules.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Corvane/Model/AppSnapshot.hpp"

namespace corvane::SnapshotRoutes {

std::string pinChoice(const AppSnapshot& s);
std::string prettyTag(const AppSnapshot& s, std::string_view tag);
std::optional<ClientExit> selectedExit(const AppSnapshot& s);
std::string entryName(const AppSnapshot& s);
std::string exitName(const AppSnapshot& s);
// "proxy-" and the share index of the server at `slot` of the fleet.
std::string shareTag(std::size_t slot, bool reality);

}  // namespace corvane::SnapshotRoutes
