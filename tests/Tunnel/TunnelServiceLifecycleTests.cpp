// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "CorvaneCore/Tunnel/TunnelServiceLifecycle.hpp"

using namespace corvane;
using namespace std::chrono_literals;

namespace {

// What the services did, in order, from whichever thread.
class Journal {
public:
    void add(std::string event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        changed_.notify_all();
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::size_t count(const std::string& event) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), event));
    }
    bool waitFor(const std::string& event, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return std::find(events_.begin(), events_.end(), event) != events_.end();
        });
    }
    void recordOffQueue(const std::string& call) {
        std::lock_guard lock(mutex_);
        offQueue_.push_back(call);
    }
    std::vector<std::string> offQueue() const {
        std::lock_guard lock(mutex_);
        return offQueue_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    std::vector<std::string> offQueue_;  // calls that should have run on the worker queue but did not
};

// A one-shot gate that threads wait on.
class Gate {
public:
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

struct Behaviour {
    bool blockUntilCancelled = false;  // start() waits for cancel() and then fails
    Gate* startGate = nullptr;         // start() waits for this gate and then succeeds
    bool failStart = false;
    bool failClose = false;
};

class FakeService {
public:
    FakeService(std::string name, Journal& journal, Behaviour behaviour)
        : name_(std::move(name)), journal_(journal), behaviour_(behaviour) {}

    void start() {
        onQueue("start");
        if (behaviour_.blockUntilCancelled) {
            std::unique_lock lock(mutex_);
            cancelledChanged_.wait(lock, [&] { return cancelled_; });
            throw std::runtime_error(name_ + " start interrupted");
        }
        if (behaviour_.startGate) behaviour_.startGate->wait();
        if (behaviour_.failStart) throw std::runtime_error(name_ + " cannot start");
    }
    void cancel() noexcept {
        journal_.add(name_ + " cancel");
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
            cancelThread_ = std::this_thread::get_id();
        }
        cancelledChanged_.notify_all();
    }
    void close() {
        onQueue("close");
        if (behaviour_.failClose) throw std::runtime_error(name_ + " close failed");
    }
    void pause() noexcept { onQueue("pause"); }
    void wake() noexcept { onQueue("wake"); }
    void resetNetwork() noexcept { onQueue("reset"); }

    std::thread::id cancelThread() {
        std::lock_guard lock(mutex_);
        return cancelThread_;
    }

private:
    void onQueue(const std::string& call) {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        if (!TunnelWorker::isCurrent() || std::string(name) != TunnelWorker::threadName) {
            journal_.recordOffQueue(name_ + " " + call);
        }
        journal_.add(name_ + " " + call);
    }

    std::string name_;
    Journal& journal_;
    Behaviour behaviour_;
    std::mutex mutex_;
    std::condition_variable cancelledChanged_;
    bool cancelled_ = false;
    std::thread::id cancelThread_;
};

using Lifecycle = TunnelServiceLifecycle<FakeService>;

class TunnelServiceLifecycleTest : public ::testing::Test {
protected:
    // The model's thread: one io_context on a thread of its own.
    boost::asio::io_context io;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> keepRunning{
        boost::asio::make_work_guard(io)};
    std::thread modelThread{[this] { io.run(); }};
    Journal journal;
    std::shared_ptr<FakeService> lastMade;  // written on the worker queue, read once the start has returned
    std::vector<std::string> closeErrors;  // touched on the worker queue only, read after a round trip
    std::unique_ptr<Lifecycle> lifecycle = std::make_unique<Lifecycle>([this](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& error) {
            closeErrors.push_back(error.what());
        }
    });

    ~TunnelServiceLifecycleTest() override {
        lifecycle.reset();
        // The queue outlives the test: let it finish with this test's services first.
        std::promise<void> drained;
        TunnelWorker::enqueue([&] { drained.set_value(); });
        drained.get_future().wait();
        keepRunning.reset();
        modelThread.join();
        EXPECT_EQ(journal.offQueue(), std::vector<std::string>{}) << "service calls made off the worker queue";
    }

    template <class T>
    std::future<T> launch(Async<T> work) {
        return boost::asio::co_spawn(io, std::move(work), boost::asio::use_future);
    }

    template <class T>
    T await(std::future<T> future) {
        if (future.wait_for(10s) != std::future_status::ready) throw std::runtime_error("the operation did not finish");
        return future.get();
    }

    Async<void> start(const std::string& name, Behaviour behaviour = {}) {
        return lifecycle->start(
            [this, name, behaviour] {
                journal.add("make " + name);
                lastMade = std::make_shared<FakeService>(name, journal, behaviour);
                return lastMade;
            },
            [this, name](const Lifecycle::ServicePtr&) { journal.add("didStart " + name); });
    }

    // Polls until the lifecycle has issued `generation` starts and stops.
    void waitForGeneration(std::uint64_t generation) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (lifecycle->generation() < generation && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(lifecycle->generation(), generation);
    }

    static std::string failureOf(std::future<void> future) {
        if (future.wait_for(10s) != std::future_status::ready) return "still running";
        try {
            future.get();
        } catch (const TunnelStartCancelled&) {
            return "cancelled";
        } catch (const std::exception& e) {
            return e.what();
        }
        return "succeeded";
    }
};

TEST_F(TunnelServiceLifecycleTest, StopWithoutServiceCallsNothing) {
    await(launch(lifecycle->stop()));
    EXPECT_FALSE(await(launch(lifecycle->resetNetwork())));
    await(launch(lifecycle->pause()));
    EXPECT_EQ(journal.events(), std::vector<std::string>{});
}

TEST_F(TunnelServiceLifecycleTest, RunsEveryServiceCallOnTheWorkerQueueInOrder) {
    await(launch(start("A")));
    EXPECT_TRUE(await(launch(lifecycle->resetNetwork())));
    lifecycle->wake();
    await(launch(lifecycle->pause()));
    await(launch(lifecycle->stop()));
    EXPECT_FALSE(await(launch(lifecycle->resetNetwork())));
    EXPECT_EQ(journal.events(), (std::vector<std::string>{"make A", "A start", "didStart A", "A reset", "A wake",
                                                          "A pause", "A cancel", "A close"}));
}

TEST_F(TunnelServiceLifecycleTest, StartWhileRunningClosesTheRunningServiceBeforeMakingTheNext) {
    await(launch(start("A")));
    await(launch(start("B")));
    EXPECT_EQ(journal.events(),
              (std::vector<std::string>{"make A", "A start", "didStart A", "A close", "make B", "B start", "didStart B"}));
    EXPECT_TRUE(await(launch(lifecycle->resetNetwork())));
    EXPECT_TRUE(journal.waitFor("B reset"));
}

TEST_F(TunnelServiceLifecycleTest, AStartOvertakenBeforeItsServiceIsMadeMakesNothing) {
    Gate queueBusy;
    TunnelWorker::enqueue([&] { queueBusy.wait(); });
    auto first = launch(start("A"));
    auto second = launch(start("B"));
    waitForGeneration(2);
    queueBusy.open();

    EXPECT_EQ(failureOf(std::move(first)), "cancelled");
    EXPECT_EQ(failureOf(std::move(second)), "succeeded");
    EXPECT_EQ(journal.events(), (std::vector<std::string>{"make B", "B start", "didStart B"}));
}

TEST_F(TunnelServiceLifecycleTest, AStartOvertakenWhileStartingIsClosedAndOnlyTheLaterServiceIsHeld) {
    Gate releaseA;
    auto first = launch(start("A", {.startGate = &releaseA}));
    ASSERT_TRUE(journal.waitFor("A start"));
    auto second = launch(start("B"));
    waitForGeneration(2);
    releaseA.open();

    EXPECT_EQ(failureOf(std::move(first)), "cancelled");
    EXPECT_EQ(failureOf(std::move(second)), "succeeded");
    EXPECT_EQ(journal.events(),
              (std::vector<std::string>{"make A", "A start", "A close", "make B", "B start", "didStart B"}));
    await(launch(lifecycle->stop()));
    EXPECT_EQ(journal.count("B close"), 1u);
}

TEST_F(TunnelServiceLifecycleTest, StopDuringABlockingStartCancelsItAtOnceAndClosesItOnce) {
    auto starting = launch(start("A", {.blockUntilCancelled = true}));
    ASSERT_TRUE(journal.waitFor("A start"));
    // The worker is stuck inside start(): only cancel() from the caller's thread can free it.
    auto stopping = launch(lifecycle->stop());

    EXPECT_EQ(failureOf(std::move(starting)), "A start interrupted");
    await(std::move(stopping));
    EXPECT_EQ(lastMade->cancelThread(), modelThread.get_id());
    EXPECT_EQ(journal.events(), (std::vector<std::string>{"make A", "A start", "A cancel", "A close"}));
    EXPECT_FALSE(await(launch(lifecycle->resetNetwork())));
}

TEST_F(TunnelServiceLifecycleTest, FailedStartsThrowTheirErrorAndHoldNothing) {
    EXPECT_EQ(failureOf(launch(start("A", {.failStart = true}))), "A cannot start");
    EXPECT_EQ(journal.events(), (std::vector<std::string>{"make A", "A start", "A close"}));

    auto failingMake = lifecycle->start([]() -> Lifecycle::ServicePtr { throw std::runtime_error("no engine"); },
                                        [](const Lifecycle::ServicePtr&) {});
    EXPECT_EQ(failureOf(launch(std::move(failingMake))), "no engine");
    EXPECT_FALSE(await(launch(lifecycle->resetNetwork())));
}

TEST_F(TunnelServiceLifecycleTest, CloseErrorsGoToTheHandlerAndTheOperationCompletes) {
    await(launch(start("A", {.failClose = true})));
    await(launch(start("B", {.failClose = true})));
    await(launch(lifecycle->stop()));
    EXPECT_EQ(closeErrors, (std::vector<std::string>{"A close failed", "B close failed"}));
    EXPECT_FALSE(await(launch(lifecycle->resetNetwork())));
}

TEST_F(TunnelServiceLifecycleTest, DestroyingTheLifecycleCancelsAndClosesTheHeldService) {
    await(launch(start("A")));
    lifecycle.reset();
    EXPECT_TRUE(journal.waitFor("A close"));
    EXPECT_EQ(journal.events(), (std::vector<std::string>{"make A", "A start", "didStart A", "A cancel", "A close"}));
}

// The program may end its loop and destroy it the moment the coroutine goes on,
// while the queue still holds the work item that resumed it (corvane-tunnel's
// shutdown does): nothing the resume leaves behind may touch the dead loop.
TEST(TunnelWorker, TheLoopMayGoAwayAsSoonAsTheCoroutineResumes) {
    std::promise<void> loopGone;
    auto gone = loopGone.get_future().share();
    std::promise<void> itemDone;
    {
        boost::asio::io_context io;
        std::function<void(TunnelWorker::Resume)> issue = [gone](TunnelWorker::Resume resume) {
            TunnelWorker::enqueue([resume, gone] {
                resume(nullptr);
                gone.wait();  // the Resume (and what it holds) outlives the loop
            });
        };
        auto waiter = [&]() -> Async<void> {
            co_await TunnelWorker::suspend(issue);
            io.stop();
        };
        boost::asio::co_spawn(io, waiter(), boost::asio::detached);
        io.run();
    }
    loopGone.set_value();
    TunnelWorker::enqueue([&] { itemDone.set_value(); });
    EXPECT_EQ(itemDone.get_future().wait_for(5s), std::future_status::ready);
}

}  // namespace
