// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Tunnel/SystemExtensionController.hpp"

namespace corvane {

SystemExtensionController::SystemExtensionController(std::shared_ptr<ExtensionActivationPlatform> platform)
    : platform_(std::move(platform)), self_(std::make_shared<SystemExtensionController*>(this)) {}

SystemExtensionController::~SystemExtensionController() { self_.reset(); }

bool SystemExtensionController::isInApplicationsFolder(const std::string& bundlePath) {
    return bundlePath.rfind("/Applications/", 0) == 0;
}

void SystemExtensionController::set(State state) {
    if (state_ == state) return;
    state_ = std::move(state);
    if (onChange_) onChange_();
}

void SystemExtensionController::activate() {
    if (state_.kind() == State::Kind::active) return;
    if (!platform_->appIsInSupportedLocation()) {
        set(State(State::Kind::needsMoveToApplications));
        return;
    }
    set(State(State::Kind::checking));
    std::weak_ptr<SystemExtensionController*> weak = self_;
    platform_->submitActivation([weak](ActivationOutcome outcome) {
        if (auto self = weak.lock()) (*self)->answer(outcome);
    });
}

void SystemExtensionController::answer(const ActivationOutcome& outcome) {
    switch (outcome.kind) {
    case ActivationOutcome::Kind::needsUserApproval: set(State(State::Kind::needsApproval)); break;
    case ActivationOutcome::Kind::completed: set(State(State::Kind::active)); break;
    case ActivationOutcome::Kind::willCompleteAfterReboot: set(State(State::Kind::needsReboot)); break;
    case ActivationOutcome::Kind::failed:
        if (outcome.errorDomain == kSystemExtensionErrorDomain && outcome.errorCode == kUnsupportedParentBundleLocation) {
            set(State(State::Kind::needsMoveToApplications));
        } else {
            set(State::failed(outcome.errorDescription));
        }
        break;
    }
}

void SystemExtensionController::openApprovalSettings() { platform_->openApprovalSettings(); }

}  // namespace corvane
