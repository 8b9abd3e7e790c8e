#pragma once

#include <memory>

#include <boost/asio/any_io_executor.hpp>

#include "Corvane/Model/Subscription.hpp"
#include "Corvane/Screens/ModelActions.hpp"

namespace corvane {

class AppBridge;
class AppModel;
class SystemExtensionController;

// Joins the window to the model across threads: the model's snapshots go to
// the bridge, and each control's call is posted to the model's thread. The GUI
// thread never touches the model itself.
class ModelLink final : public ModelActions {
public:
    // `model` lives on `executor`'s thread and outlives this link.
    ModelLink(AppModel& model, boost::asio::any_io_executor executor);
    // With the tunnel service's check too; `extension` also lives on the
    // executor's thread and outlives this link.
    ModelLink(AppModel& model, SystemExtensionController& extension, boost::asio::any_io_executor executor);
    ~ModelLink() override;

    // Model thread: starts sending the model's snapshots (and the service
    // check's state) to `bridge`.
    void observe(AppBridge& bridge);
    // Model thread: sends no more snapshots.
    void stopObserving();

    void setPanelURL(std::string value) override;
    void setEmail(std::string value) override;
    void setPassword(std::string value) override;
    void start() override;
    void signIn() override;
    void signOut() override;
    void toggleConnection() override;
    void disconnect() override;
    void refreshServers() override;
    void pinTag(std::string tag) override;
    void applyRoute(std::optional<std::int64_t> entryId, std::optional<std::int64_t> exitId, bool reality,
                    bool quotaFallback) override;
    void setSiteEnabled(std::int64_t siteId, bool enabled) override;
    void setLanShare(bool on) override;
    void regenerateLanSharePassword() override;
    void sendDiagnostics() override;
    void previewDiagnostics(std::function<void(std::string)> done) override;
    void setSmartRouting(bool on) override;
    void setLockdown(bool enabled, bool allowLAN) override;
    void dismissQuotaNotice() override;
    void scenePhaseChanged(bool active, bool background) override;
    void dismissUpdate() override;
    void activateExtension() override;

private:
    // Runs `call(model)` on the model's thread; a coroutine it returns becomes a task.
    template <class Call>
    void later(Call call);

    AppModel& model_;
    SystemExtensionController* extension_ = nullptr;
    boost::asio::any_io_executor executor_;
    Subscription subscription_;  // touched on the model's thread only
};

}  // namespace corvane
