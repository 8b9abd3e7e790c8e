// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CorvaneCore/Tunnel/TunnelSettingsReassertion.hpp"

using namespace corvane;
using Phase = TunnelSettingsReassertion::Phase;

namespace {

// Records every callback and keeps the completions it was handed, so that a
// test decides when (and from which thread) each step completes.
class Steps {
public:
    TunnelSettingsReassertion::Step clear() {
        return [this](TunnelSettingsReassertion::Completion done) {
            std::lock_guard lock(mutex);
            events.push_back("clear");
            clearDone = std::move(done);
        };
    }
    TunnelSettingsReassertion::Step restore() {
        return [this](TunnelSettingsReassertion::Completion done) {
            std::lock_guard lock(mutex);
            events.push_back("restore");
            restoreDone = std::move(done);
        };
    }
    std::function<void(bool)> setReasserting() {
        return [this](bool on) {
            std::lock_guard lock(mutex);
            events.push_back(on ? "reasserting" : "reasserted");
        };
    }
    std::function<void(std::exception_ptr)> onError() {
        return [this](std::exception_ptr e) {
            std::lock_guard lock(mutex);
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& error) {
                events.push_back(std::string("error: ") + error.what());
            }
        };
    }
    void refresh(TunnelSettingsReassertion& r) { r.refresh(clear(), restore(), setReasserting(), onError()); }

    // Completes from another thread, as the platform does.
    static void completeFromAnotherThread(const TunnelSettingsReassertion::Completion& done, std::exception_ptr e = nullptr) {
        std::thread([&] { done(e); }).join();
    }

    std::vector<std::string> recorded() {
        std::lock_guard lock(mutex);
        return events;
    }

    std::mutex mutex;
    std::vector<std::string> events;
    TunnelSettingsReassertion::Completion clearDone;
    TunnelSettingsReassertion::Completion restoreDone;
};

TEST(TunnelSettingsReassertion, ACycleClearsThenRestoresWhileMarkedReasserting) {
    TunnelSettingsReassertion reassertion;
    Steps steps;
    steps.refresh(reassertion);
    EXPECT_EQ(reassertion.phase(), Phase::clearing);
    Steps::completeFromAnotherThread(steps.clearDone);
    EXPECT_EQ(reassertion.phase(), Phase::restoring);
    Steps::completeFromAnotherThread(steps.restoreDone);
    EXPECT_EQ(reassertion.phase(), Phase::idle);
    EXPECT_EQ(steps.recorded(), (std::vector<std::string>{"reasserting", "clear", "restore", "reasserted"}));

    // The next cycle runs normally.
    steps.refresh(reassertion);
    EXPECT_EQ(reassertion.phase(), Phase::clearing);
}

TEST(TunnelSettingsReassertion, ASecondRefreshDuringACycleCallsNothing) {
    for (bool whileRestoring : {false, true}) {
        TunnelSettingsReassertion reassertion;
        Steps first;
        first.refresh(reassertion);
        if (whileRestoring) first.clearDone(nullptr);

        Steps second;
        second.refresh(reassertion);
        EXPECT_EQ(second.recorded(), std::vector<std::string>{}) << whileRestoring;
        EXPECT_EQ(reassertion.phase(), whileRestoring ? Phase::restoring : Phase::clearing);
    }
}

TEST(TunnelSettingsReassertion, StepErrorsAreReportedAndTheCycleStillEnds) {
    TunnelSettingsReassertion reassertion;
    Steps steps;
    steps.refresh(reassertion);
    Steps::completeFromAnotherThread(steps.clearDone, std::make_exception_ptr(std::runtime_error("clear failed")));
    Steps::completeFromAnotherThread(steps.restoreDone, std::make_exception_ptr(std::runtime_error("restore failed")));
    EXPECT_EQ(steps.recorded(), (std::vector<std::string>{"reasserting", "clear", "error: clear failed", "restore",
                                                          "error: restore failed", "reasserted"}));
    EXPECT_EQ(reassertion.phase(), Phase::idle);
}

TEST(TunnelSettingsReassertion, InvalidateEndsTheMarkAtOnceAndIgnoresLateCompletions) {
    TunnelSettingsReassertion reassertion;
    Steps steps;
    steps.refresh(reassertion);
    reassertion.invalidate();
    EXPECT_EQ(steps.recorded(), (std::vector<std::string>{"reasserting", "clear", "reasserted"}));

    Steps::completeFromAnotherThread(steps.clearDone, std::make_exception_ptr(std::runtime_error("late")));
    reassertion.invalidate();
    Steps later;
    later.refresh(reassertion);
    EXPECT_EQ(steps.recorded(), (std::vector<std::string>{"reasserting", "clear", "reasserted"}));
    EXPECT_EQ(later.recorded(), std::vector<std::string>{});
    EXPECT_EQ(reassertion.phase(), Phase::invalidated);
}

TEST(TunnelSettingsReassertion, SynchronousStepsCompleteTheCycleInsideRefreshAndMayCallBackIn) {
    TunnelSettingsReassertion reassertion;
    std::vector<std::string> events;
    reassertion.refresh(
        [&](TunnelSettingsReassertion::Completion done) {
            events.push_back("clear");
            done(nullptr);
        },
        [&](TunnelSettingsReassertion::Completion done) {
            events.push_back("restore");
            reassertion.refresh([&](auto) { events.push_back("nested clear"); }, [](auto) {}, [](bool) {}, [](auto) {});
            done(nullptr);
        },
        [&](bool on) { events.push_back(on ? "reasserting" : "reasserted, phase " + std::to_string(int(reassertion.phase()))); },
        [&](std::exception_ptr) { events.push_back("error"); });
    EXPECT_EQ(events, (std::vector<std::string>{"reasserting", "clear", "restore", "reasserted, phase 0"}));
    EXPECT_EQ(reassertion.phase(), Phase::idle);
}

TEST(TunnelSettingsReassertion, ACompletionOfAnEarlierCycleDoesNotMoveTheNextOne) {
    TunnelSettingsReassertion reassertion;
    Steps first;
    first.refresh(reassertion);
    first.clearDone(nullptr);
    first.restoreDone(nullptr);

    Steps second;
    second.refresh(reassertion);
    first.clearDone(nullptr);  // called again, against the rules
    EXPECT_EQ(reassertion.phase(), Phase::clearing);
    EXPECT_EQ(second.recorded(), (std::vector<std::string>{"reasserting", "clear"}));
}

}  // namespace
