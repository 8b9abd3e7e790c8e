#include "Corvane/Screens/ModelLink.hpp"

#include <type_traits>

#include <boost/asio/post.hpp>

#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Screens/AppBridge.hpp"
#include "Corvane/Tunnel/SystemExtensionController.hpp"
#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

ModelLink::ModelLink(AppModel& model, boost::asio::any_io_executor executor)
    : model_(model), executor_(std::move(executor)) {}

ModelLink::ModelLink(AppModel& model, SystemExtensionController& extension, boost::asio::any_io_executor executor)
    : model_(model), extension_(&extension), executor_(std::move(executor)) {}

ModelLink::~ModelLink() = default;

template <class Call>
void ModelLink::later(Call call) {
    boost::asio::post(executor_, [this, call = std::move(call)]() mutable {
        using Result = decltype(call(model_));
        if constexpr (std::is_void_v<Result>) {
            try {
                call(model_);
            } catch (const std::exception& e) {
                // A change that could not be saved was not made; the window says why.
                model_.errorMessage = std::string(e.what());
            }
        } else {
            spawnTask(executor_, call(model_));
        }
    });
}

void ModelLink::observe(AppBridge& bridge) {
    subscription_ = model_.observe([&bridge](const std::shared_ptr<const AppSnapshot>& s) { bridge.deliver(s); });
    bridge.deliver(model_.published());
    if (extension_) {
        extension_->setOnChange([this, &bridge] { bridge.deliverExtensionState(extension_->state()); });
        bridge.deliverExtensionState(extension_->state());
    }
}

void ModelLink::stopObserving() {
    subscription_.reset();
    if (extension_) extension_->setOnChange({});
}

void ModelLink::setPanelURL(std::string value) {
    later([value = std::move(value)](AppModel& m) mutable { m.panelURL = std::move(value); });
}
void ModelLink::setEmail(std::string value) {
    later([value = std::move(value)](AppModel& m) mutable { m.email = std::move(value); });
}
void ModelLink::setPassword(std::string value) {
    later([value = std::move(value)](AppModel& m) mutable { m.password = std::move(value); });
}
void ModelLink::start() {
    later([](AppModel& m) { return m.start(); });
}
void ModelLink::signIn() {
    later([](AppModel& m) { return m.signIn(false); });
}
void ModelLink::signOut() {
    later([](AppModel& m) { m.signOut(); });
}
void ModelLink::refreshServers() {
    later([](AppModel& m) -> Async<void> { co_await m.refreshServers(false); });
}
void ModelLink::setSmartRouting(bool on) {
    later([on](AppModel& m) { m.setSmartRouting(on); });
}
void ModelLink::setLockdown(bool enabled, bool allowLAN) {
    later([=](AppModel& m) -> Async<void> {
        std::optional<std::string> failure;
        try {
            co_await m.setLockdown(enabled, allowLAN);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        if (failure) m.errorMessage = "The tunnel could not be made required: " + *failure;
    });
}
void ModelLink::dismissQuotaNotice() {
    later([](AppModel& m) { m.quotaNotice = std::nullopt; });
}
void ModelLink::scenePhaseChanged(bool active, bool background) {
    later([=](AppModel& m) { m.scenePhaseChanged(active, background); });
}
void ModelLink::dismissUpdate() {
    later([](AppModel& m) { m.updateDismissed = true; });
}
void ModelLink::activateExtension() {
    if (!extension_) return;
    boost::asio::post(executor_, [extension = extension_] { extension->activate(); });
}

void ModelLink::toggleConnection() {
    later([](AppModel& m) { return m.toggleConnection(); });
}
void ModelLink::disconnect() {
    later([](AppModel& m) { return m.disconnect(); });
}
void ModelLink::pinTag(std::string tag) {
    later([tag = std::move(tag)](AppModel& m) { m.pinTag(tag); });
}
void ModelLink::applyRoute(std::optional<std::int64_t> entryId, std::optional<std::int64_t> exitId, bool reality,
                           bool quotaFallback) {
    later([=](AppModel& m) { return m.applyRoute(entryId, exitId, reality, quotaFallback); });
}
void ModelLink::setSiteEnabled(std::int64_t siteId, bool enabled) {
    later([=](AppModel& m) { m.setSiteEnabled(siteId, enabled); });
}
void ModelLink::setLanShare(bool on) {
    later([=](AppModel& m) { m.setLanShare(on); });
}
void ModelLink::regenerateLanSharePassword() {
    later([](AppModel& m) { m.regenerateLanSharePassword(); });
}
void ModelLink::sendDiagnostics() {
    later([](AppModel& m) { return m.sendDiagnostics("manual", std::nullopt); });
}
void ModelLink::previewDiagnostics(std::function<void(std::string)> done) {
    later([done = std::move(done)](AppModel& m) { done(m.diagnosticsPreview()); });
}

}  // namespace corvane
