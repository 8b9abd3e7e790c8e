// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "CorvaneCore/Support/LoopbackListener.hpp"
#include "CorvaneTunnel/EngineAccount.hpp"

namespace corvane {

// Why an engine could not be started: its own last error line when it printed one.
class EngineStartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    EngineStartError(const std::string& what, int exitStatus) : std::runtime_error(what), exitStatus_(exitStatus) {}

    // How the engine ended when it ended by itself during the start (128 + signal for a signal).
    std::optional<int> exitStatus() const noexcept { return exitStatus_; }

private:
    std::optional<int> exitStatus_;
};

// One run of the sing-box engine as a child process. start(), close() and the
// destructor belong to one thread (the tunnel worker); cancel() may come from
// any thread, also while start() waits.
class EngineProcess {
public:
    struct Options {
        std::filesystem::path executable;   // sing-box
        std::filesystem::path workingDirectory;  // its -D folder (cache file)
        std::string configuration;          // handed over on standard input, never written to disk
        std::optional<EngineAccount> account;  // run as this account with only the tunnel's capabilities
        std::uint16_t controlPort = 0;      // the control API the start waits for
        std::string controlSecret;
        std::chrono::milliseconds startTimeout{30'000};
        std::chrono::milliseconds closeGrace{5'000};  // between SIGTERM and SIGKILL
        // Every line the engine prints (colour off), from the reader thread.
        std::function<void(std::string line)> onLine;
        // The process ended without close() having been called, with its last
        // fatal line (empty when it printed none, e.g. when it was killed).
        std::function<void(int exitStatus, std::string lastError)> onUnexpectedExit;
    };

    explicit EngineProcess(Options options);
    ~EngineProcess();
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    // Starts the engine and returns once its control API answers. Throws
    // EngineStartError with the engine's own FATAL text when it exits first,
    // or when cancelled or timed out (the process is then stopped).
    void start();
    // Interrupts a start in progress. Safe from any thread.
    void cancel();
    // Stops the process: SIGTERM, then SIGKILL after the grace period. Idempotent.
    void close();

    bool isRunning() const;
    pid_t pid() const noexcept { return pid_; }
    // The last line the engine printed at level ERROR or FATAL.
    std::string lastErrorLine() const;
    // One bodiless request to the engine's control API; the HTTP status, or 0
    // when there was no answer within a second, or the port is not the
    // engine's (the secret then stays here).
    int controlRequest(std::string_view method, std::string_view path) const;
    // The account whose listener the control port must be: the engine's.
    std::uint32_t controlOwner() const noexcept;
    // The engine's listening sockets on its control port, once the kernel shows
    // them as its account's and, where its descriptors can be read, its own;
    // else nothing, with the reason kept for a start that then fails.
    std::optional<std::vector<LoopbackListener>> engineListeners() const;

private:
    void readOutput(int fd);
    void awaitExit();
    bool controlAPIAnswers() const;
    void terminate();

    Options options_;
    pid_t pid_ = -1;
    std::thread reader_;
    std::thread waiter_;  // waits for the process itself, whoever else holds its output open
    std::thread writer_;  // hands the configuration over
    int stopReading_[2] = {-1, -1};  // written to when the reader must give up on the output
    int input_ = -1;      // our end of the engine's standard input
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool exited_ = false;
    bool readerDone_ = false;
    int exitStatus_ = 0;
    bool closing_ = false;
    bool starting_ = false;
    std::atomic<bool> cancelled_{false};
    std::string lastError_;
    std::string lastFatal_;
    mutable std::string foreignListener_;  // why the control port was last refused, under mutex_
};

}  // namespace corvane
