// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "Corvane/Platform/ExtensionActivationPlatform.hpp"

namespace corvane {

// Makes sure the tunnel component is installed and allowed, and tells the
// setup checklist what the user has to do. Lives on the model's thread.
class SystemExtensionController {
public:
    class State {
    public:
        enum class Kind { failed, checking, needsMoveToApplications, needsApproval, active, needsReboot };
        State(Kind kind = Kind::checking, std::string text = {}) : kind_(kind), text_(std::move(text)) {}
        static State failed(std::string text) { return {Kind::failed, std::move(text)}; }
        Kind kind() const noexcept { return kind_; }
        // The failure text of `failed`.
        const std::string& text() const noexcept { return text_; }
        bool operator==(const State&) const = default;

    private:
        Kind kind_;
        std::string text_;
    };

    explicit SystemExtensionController(std::shared_ptr<ExtensionActivationPlatform> platform);
    ~SystemExtensionController();

    const State& state() const noexcept { return state_; }
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

    // One activation attempt; nothing once active.
    void activate();
    void openApprovalSettings();

    // The prefix test the system applies to an app's location.
    static bool isInApplicationsFolder(const std::string& bundlePath);

private:
    void answer(const ActivationOutcome& outcome);
    void set(State state);

    std::shared_ptr<ExtensionActivationPlatform> platform_;
    State state_;
    std::function<void()> onChange_;
    std::shared_ptr<SystemExtensionController*> self_;
};

}  // namespace corvane
