// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "Corvane/Tunnel/SystemExtensionController.hpp"

using namespace corvane;
using State = SystemExtensionController::State;

namespace {

class FakeActivation final : public ExtensionActivationPlatform {
public:
    bool supportedLocation = true;
    int requests = 0;
    int settingsOpened = 0;
    std::function<void(ActivationOutcome)> pending;

    bool appIsInSupportedLocation() override { return supportedLocation; }
    void submitActivation(std::function<void(ActivationOutcome)> answer) override {
        ++requests;
        pending = std::move(answer);
    }
    void openApprovalSettings() override { ++settingsOpened; }
};

ActivationOutcome failure(std::string domain, std::int64_t code, std::string text) {
    return {ActivationOutcome::Kind::failed, std::move(domain), code, std::move(text)};
}

}  // namespace

TEST(SystemExtensionController, FollowsTheSystemsAnswers) {
    struct Case { ActivationOutcome outcome; State state; };
    const Case cases[] = {
        {{ActivationOutcome::Kind::needsUserApproval}, State(State::Kind::needsApproval)},
        {{ActivationOutcome::Kind::completed}, State(State::Kind::active)},
        {{ActivationOutcome::Kind::willCompleteAfterReboot}, State(State::Kind::needsReboot)},
        {failure("OSSystemExtensionErrorDomain", 3, "unsupported location"), State(State::Kind::needsMoveToApplications)},
        {failure("OSSystemExtensionErrorDomain", 4, "extension not found"), State::failed("extension not found")},
        {failure("com.corvane.tunnel.client", 3, "not running"), State::failed("not running")},
    };
    for (const auto& c : cases) {
        auto platform = std::make_shared<FakeActivation>();
        SystemExtensionController controller(platform);
        EXPECT_EQ(controller.state(), State(State::Kind::checking));
        controller.activate();
        ASSERT_EQ(platform->requests, 1);
        platform->pending(c.outcome);
        EXPECT_EQ(controller.state(), c.state) << c.outcome.errorDescription;
    }
}

TEST(SystemExtensionController, ActivationRules) {
    auto platform = std::make_shared<FakeActivation>();
    SystemExtensionController controller(platform);
    platform->supportedLocation = false;
    controller.activate();
    EXPECT_EQ(controller.state(), State(State::Kind::needsMoveToApplications));
    EXPECT_EQ(platform->requests, 0);

    platform->supportedLocation = true;
    controller.activate();
    platform->pending({ActivationOutcome::Kind::willCompleteAfterReboot});
    controller.activate();  // after needsReboot a new request goes out
    EXPECT_EQ(platform->requests, 2);
    EXPECT_EQ(controller.state(), State(State::Kind::checking));
    platform->pending({ActivationOutcome::Kind::completed});
    controller.activate();  // active is final
    EXPECT_EQ(platform->requests, 2);
    EXPECT_EQ(controller.state(), State(State::Kind::active));

    controller.openApprovalSettings();
    EXPECT_EQ(platform->settingsOpened, 1);

    EXPECT_TRUE(SystemExtensionController::isInApplicationsFolder("/Applications/Utilities/Corvane.app"));
    EXPECT_FALSE(SystemExtensionController::isInApplicationsFolder("/Users/me/Applications/Corvane.app"));
}
