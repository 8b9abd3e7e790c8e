#pragma once

// The model's values as corvanectl prints them with --json: keys are the model's
// own field names. Secrets (share URLs, private keys) are left out.

#include <boost/json/object.hpp>

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
