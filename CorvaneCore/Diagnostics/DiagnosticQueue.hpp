// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "CorvaneCore/Diagnostics/DiagnosticReport.hpp"
#include "CorvaneCore/Panel/PanelError.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"
#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

// The content of one queue file.
struct QueuedBundle {
    static constexpr std::string_view recordName = "QueuedBundle";
    std::int64_t attempts = 0;  // failed deliveries so far
    DiagnosticReport report;

    bool operator==(const QueuedBundle&) const = default;
    static QueuedBundle decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// What became of one report handed to the queue.
class EnqueueOutcome {
public:
    struct Queued {
        std::filesystem::path file;
        bool operator==(const Queued&) const = default;
    };
    struct Suppressed {
        std::int64_t count;  // duplicates of this kind suppressed so far, this one included
        bool operator==(const Suppressed&) const = default;
    };

    static EnqueueOutcome queued(std::filesystem::path file) { return EnqueueOutcome(Queued{std::move(file)}); }
    static EnqueueOutcome suppressed(std::int64_t count) { return EnqueueOutcome(Suppressed{count}); }

    bool isQueued() const noexcept { return std::holds_alternative<Queued>(value_); }
    bool isSuppressed() const noexcept { return std::holds_alternative<Suppressed>(value_); }
    // The file written; empty when suppressed.
    std::filesystem::path file() const;
    // The suppressed count; 0 when queued.
    std::int64_t count() const;

    bool operator==(const EnqueueOutcome&) const = default;

private:
    explicit EnqueueOutcome(std::variant<Queued, Suppressed> v) : value_(std::move(v)) {}
    std::variant<Queued, Suppressed> value_;
};

// The persistent outbox of diagnostic reports: one file per report, delivered
// by drain passes, with identical reports within an hour suppressed. Lives on
// one executor (the model's). Passes may run at once; each posts only the files
// no other running pass has taken on.
class DiagnosticQueue {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
    // Empty when the report was delivered, else why it was not.
    using PostResult = std::optional<PanelError>;
    using Poster = std::function<Async<PostResult>(const DiagnosticReport&)>;

    static constexpr std::int64_t maxAttempts = 20;
    static constexpr std::chrono::seconds dedupWindow{3600};

    // Creates the directory and its parents; throws std::filesystem::filesystem_error when it cannot.
    // `now` names the files in the order they were queued; the hour of suppression is
    // measured on `steadyNow`, so setting the wall clock neither stretches nor ends it.
    explicit DiagnosticQueue(std::filesystem::path directory, Clock now = &std::chrono::system_clock::now,
                             SteadyClock steadyNow = &std::chrono::steady_clock::now);
    ~DiagnosticQueue();
    DiagnosticQueue(const DiagnosticQueue&) = delete;
    DiagnosticQueue& operator=(const DiagnosticQueue&) = delete;

    const std::filesystem::path& directory() const noexcept { return directory_; }

    // Writes the report to its own file unless an identical one was queued within
    // the hour (`force` skips that check). Throws std::system_error when the file
    // cannot be written, and then counts the report neither as queued nor as suppressed.
    EnqueueOutcome enqueue(DiagnosticReport report, bool force);

    // One delivery pass over the files queued when it starts, oldest first,
    // leaving out those another running pass is posting; returns how many were
    // delivered. Only listing the directory can throw.
    Async<std::int64_t> drain(Poster post);

    // The queued files, oldest first. Throws std::filesystem::filesystem_error.
    std::vector<std::filesystem::path> queuedFiles() const;
    std::size_t depth() const { return queuedFiles().size(); }

    // The duplicate key: trigger, first hint and crash location, without digits.
    static std::string signature(const DiagnosticReport& report);

private:
    Async<std::int64_t> pass(const std::vector<std::filesystem::path>& files, Poster& post);

    std::filesystem::path directory_;
    Clock now_;
    SteadyClock steadyNow_;
    std::map<std::string, std::chrono::steady_clock::time_point> lastEnqueued_;
    std::map<std::string, std::int64_t> suppressed_;
    // The files that running passes have taken on.
    // Shared with the passes that hold claims: a pass whose frame is destroyed
    // after the queue (a loop torn down with work pending) still lets go safely.
    std::shared_ptr<std::set<std::filesystem::path>> claimed_ = std::make_shared<std::set<std::filesystem::path>>();
};

}  // namespace corvane
