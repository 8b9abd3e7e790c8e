// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/any_io_executor.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "Corvane/Agent/AgentClient.hpp"
#include "Corvane/Screens/ModelActions.hpp"

namespace corvane {

class AppBridge;
class SystemExtensionController;

// Joins the window to the user's agent: the agent's snapshot stream goes to
// the bridge, and each control's call becomes a request. The window holds no
// model; closing it leaves the agent, and the tunnel, as they are. Until the
// agent answers, and while it restarts, the bridge is told so, and the link
// reconnects by itself.
class AgentLink final : public ModelActions {
public:
    // `extension` (the tunnel service's check) lives on `executor`'s thread and outlives this link.
    AgentLink(AgentClient::Options options, SystemExtensionController& extension, boost::asio::any_io_executor executor);
    ~AgentLink() override;

    // Starts following the agent (starting it when none runs); snapshots, and
    // notices about the agent, go to `bridge`.
    void observe(AppBridge& bridge);
    // Stops following it: calls still waiting on the agent give up at once.
    void stopObserving();

    void setPanelURL(std::string value) override;
    void setEmail(std::string value) override;
    void setPassword(std::string value) override;
    void start() override {}  // the agent runs by itself
    void signIn() override;
    void signOut() override;
    void toggleConnection() override;
    void disconnect() override;
    void refreshServers() override;
    void pinTag(std::string tag) override;
    void chooseProtocol(std::string protocol) override;
    void applyRoute(std::optional<std::int64_t> entryId, std::optional<std::int64_t> exitId, bool reality,
                    bool quotaFallback) override;
    void setSiteEnabled(std::int64_t siteId, bool enabled) override;
    void setLanShare(bool on) override;
    void regenerateLanSharePassword() override;
    void sendDiagnostics() override;
    void previewDiagnostics(std::function<void(std::string)> done) override;
    void setSmartRouting(bool on) override;
    void setNotifications(bool on) override;
    void useFileCredentialStore() override;
    void setLockdown(bool enabled, bool allowLAN) override;
    void dismissQuotaNotice() override;
    void scenePhaseChanged(bool active, bool background) override;
    void dismissUpdate() override;
    void activateExtension() override;

    // What the link's threads share; a request's thread may outlive the link.
    struct Shared;

private:
    // Sends one request from a thread of its own, so that a long operation
    // (a connect) holds up no other; `done` gets the result, or nothing when it failed.
    void request(std::string op, boost::json::object args = {},
                 std::function<void(std::optional<boost::json::value>)> done = {});

    SystemExtensionController& extension_;
    boost::asio::any_io_executor executor_;
    std::shared_ptr<Shared> shared_;
    std::thread follower_;
    std::mutex typedMutex_;
    std::string panelURL_, email_, password_;  // typed, sent with the sign-in
};

}  // namespace corvane
