// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace corvane {

// How an activation request ended.
struct ActivationOutcome {
    enum class Kind { completed, willCompleteAfterReboot, needsUserApproval, failed };
    Kind kind = Kind::completed;
    // With `failed`: the error as the platform reports it.
    std::string errorDomain;
    std::int64_t errorCode = 0;
    std::string errorDescription;
};

// The domain and code of "the app is not where the system runs extensions from".
inline constexpr std::string_view kSystemExtensionErrorDomain = "OSSystemExtensionErrorDomain";
inline constexpr std::int64_t kUnsupportedParentBundleLocation = 3;

// What the activation controller needs from the system.
class ExtensionActivationPlatform {
public:
    virtual ~ExtensionActivationPlatform() = default;
    // Whether the app runs from where the system accepts its tunnel component.
    virtual bool appIsInSupportedLocation() = 0;
    // Submits one activation request; `answer` runs on the model's thread, once
    // for each answer (an approval request may be followed by the final outcome).
    virtual void submitActivation(std::function<void(ActivationOutcome)> answer) = 0;
    virtual void openApprovalSettings() = 0;
};

}  // namespace corvane
