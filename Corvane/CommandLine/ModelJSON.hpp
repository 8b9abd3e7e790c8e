// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The model's values as corvanectl prints them with --json: keys are the model's
// own field names. Secrets (share URLs, private keys) are left out.

#include <boost/json/object.hpp>

#include "Corvane/Model/AppSnapshot.hpp"
#include "CorvaneCore/Panel/PanelRecords.hpp"
#include "CorvaneCore/Panel/UpdateChecker.hpp"

namespace corvane::cli {

boost::json::object toJSON(const ServerListEntry& server);
boost::json::object toJSON(const ClientExit& exit);
boost::json::object toJSON(const SiteAccess& site);
boost::json::object toJSON(const UpdateStatus& update);

// Protocols a server offers, as shown: "Reality", "Hysteria2".
std::vector<std::string> protocols(const ServerListEntry& server);

}  // namespace corvane::cli

namespace corvane::cli {

// The route in use, as shown: the active outbound's name, or the chosen route's
// before the engine answers.
std::string routeText(const AppSnapshot& s);

// What `corvanectl status --json` prints: the model's state by its field names,
// plus the display texts ("route", "entryName", "exitName").
boost::json::object statusJSON(const AppSnapshot& s);

}  // namespace corvane::cli
