// PENDING-MERGE(issue-14): stand-ins until the connect flow is merged.
#include "Corvane/Model/AppModel.hpp"

namespace corvane {

Async<void> AppModel::restartTunnel() { co_return; }
std::string AppModel::pinChoice() const { return "proxy-auto"; }
ClashClient::Endpoints AppModel::clashEndpoints() const { return {}; }

}  // namespace corvane
