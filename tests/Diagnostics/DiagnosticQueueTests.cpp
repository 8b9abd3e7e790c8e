// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <regex>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "TestSupport/WithoutPrivileges.hpp"
#include "CorvaneCore/Diagnostics/DiagnosticQueue.hpp"
#include "CorvaneCore/Diagnostics/ReportBuilder.hpp"
#include "CorvaneCore/Panel/PanelClient.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"
#include "TestSupport/PanelOnLoopback.hpp"
#include "tools/fleet/TempDir.hpp"
#include "tools/fleet/HttpServer.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

DiagnosticReport report(std::string trigger, std::optional<std::string> fatal = {}) {
    DiagnosticReport r{.triggerReason = std::move(trigger), .appVersion = "0.1.0", .collectedAtUnix = 1748768400};
    if (fatal) r.hints.push_back(*ReportBuilder::fatalHint(*fatal));
    return r;
}

// The engine's port differs between otherwise identical failures.
DiagnosticReport bindFailure(int port) {
    return report("tunnel_failed", "FATAL[0000] start service: start inbound/mixed[mixed-in]: listen tcp 127.0.0.1:" +
                                       std::to_string(port) + ": bind: address already in use");
}

QueuedBundle bundleAt(const fs::path& file) { return decodeJSON<QueuedBundle>(std::string_view(readFile(file))); }

Async<DiagnosticQueue::PostResult> upload(PanelClient* client, const DiagnosticReport& r) {
    try {
        co_await client->uploadDiagnostics(r);
        co_return std::nullopt;
    } catch (const PanelError& e) {
        co_return e;
    }
}

class DiagnosticQueueTest : public ::testing::Test, protected PanelOnLoopback {
protected:
    system_clock::time_point now = sys_days{2025y / June / 1} + 9h;  // the wall clock
    steady_clock::time_point steadyNow = steady_clock::time_point{} + 1000h;
    fs::path queueDir = dir / "data" / "corvane" / "diagnostics" / "queue";
    DiagnosticQueue queue{queueDir, [this] { return now; }, [this] { return steadyNow; }};

    // Time passing, as both clocks see it.
    void advance(steady_clock::duration d) {
        now += duration_cast<system_clock::duration>(d);
        steadyNow += d;
    }
    DiagnosticQueue::Poster post = [this](const DiagnosticReport& r) { return upload(&client, r); };

    // Queues a report, then lets a second pass, so files sort in the order they were queued.
    fs::path enqueued(DiagnosticReport r) {
        auto outcome = queue.enqueue(std::move(r), true);
        EXPECT_TRUE(outcome.isQueued());
        advance(1s);
        return outcome.file();
    }
    std::int64_t drain() { return runToCompletion(queue.drain(post)); }
};

}  // namespace

TEST_F(DiagnosticQueueTest, DuplicatesWithinAnHourAreSuppressedAndCountedInTheNextOne) {
    auto first = queue.enqueue(bindFailure(2080), false);
    ASSERT_TRUE(first.isQueued());
    advance(10min);
    EXPECT_EQ(queue.enqueue(bindFailure(2081), false), EnqueueOutcome::suppressed(1));
    advance(10min);
    EXPECT_EQ(queue.enqueue(bindFailure(3000), false), EnqueueOutcome::suppressed(2));
    EXPECT_TRUE(queue.enqueue(report("manual"), false).isQueued());  // another kind of report
    EXPECT_EQ(queue.depth(), 2u);

    advance(41min);  // 61 minutes after the first
    auto later = queue.enqueue(bindFailure(2082), false);
    ASSERT_TRUE(later.isQueued());
    const auto hints = bundleAt(later.file()).report.hints;
    ASSERT_EQ(hints.size(), 2u);
    EXPECT_EQ(hints[1], (DiagnosticHint{"suppressed_duplicates", "info", "2 identical bundle(s) suppressed within the last hour",
                                        {{"count", JSONValue(2)}}}));

    // The window starts again from the report just queued; forcing skips it but still reports the count.
    advance(59min);
    EXPECT_EQ(queue.enqueue(bindFailure(1), false), EnqueueOutcome::suppressed(1));
    auto forced = queue.enqueue(bindFailure(1), true);
    ASSERT_TRUE(forced.isQueued());
    EXPECT_EQ(bundleAt(forced.file()).report.hints.back().details.at("count"), JSONValue(1));
    EXPECT_EQ(bundleAt(queue.enqueue(bindFailure(1), true).file()).report.hints.size(), 1u);
    EXPECT_EQ(queue.depth(), 5u);

    // The hour is time passed: a wall clock set back a day neither stretches it nor, set ahead, ends it.
    now -= 24h;
    advance(61min);
    EXPECT_TRUE(queue.enqueue(bindFailure(1), false).isQueued());
    now += 48h;
    EXPECT_EQ(queue.enqueue(bindFailure(1), false), EnqueueOutcome::suppressed(1));
}

TEST_F(DiagnosticQueueTest, SignaturesIgnoreDigitsAndUseTheFirstHintAndCrashLocation) {
    auto crashed = [](std::string content) {
        auto r = report("crash");
        r.crash = CrashInfo{{CrashFile{"/tmp/p", 1, 2, std::move(content)}, CrashFile{"/tmp/q", 1, 2, "location: other"}}, {}};
        return r;
    };
    EXPECT_EQ(DiagnosticQueue::signature(report("manual")), "manual||");
    EXPECT_EQ(DiagnosticQueue::signature(bindFailure(2080)),
              "tunnel_failed|singbox_fatal|start inbound/mixed[mixed-in]: listen tcp ...:: bind: address already in use|");
    EXPECT_EQ(DiagnosticQueue::signature(bindFailure(2080)), DiagnosticQueue::signature(bindFailure(9)));
    EXPECT_EQ(DiagnosticQueue::signature(crashed("panic: x\n\nlocation: main.go:42\nlocation: second\n")),
              "crash||location: main.go:");
    EXPECT_EQ(DiagnosticQueue::signature(crashed("no location here")), "crash||");
    EXPECT_NE(DiagnosticQueue::signature(report("tunnel_failed", "FATAL one")),
              DiagnosticQueue::signature(report("tunnel_failed", "FATAL two")));
}

TEST_F(DiagnosticQueueTest, WritesEachReportToItsOwnPrivateFileAndListsOnlyQueuedFiles) {
    const auto file = enqueued(report("manual"));
    EXPECT_EQ(file.parent_path(), queueDir);
    const std::regex name(R"((\d+)-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\.json)");
    std::smatch m;
    const std::string filename = file.filename().string();
    ASSERT_TRUE(std::regex_match(filename, m, name)) << filename;
    EXPECT_EQ(m[1].str(), "1748768400");
    EXPECT_EQ(bundleAt(file), (QueuedBundle{0, report("manual")}));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // Left-overs of interrupted writes, other files and folders are not reports.
    writeFile(queueDir / ".tmp-5B1C.json", "{}");
    writeFile(queueDir / ".tmp-5B1D", "{}");
    writeFile(queueDir / "notes.txt", "{}");
    fs::create_directory(queueDir / "1000-folder.json");
    now -= 24h;
    const auto older = enqueued(report("older"));
    now += 48h;
    const auto newer = enqueued(report("newer"));
    EXPECT_EQ(queue.queuedFiles(), (std::vector<fs::path>{older, file, newer}));
    EXPECT_EQ(queue.depth(), 3u);

    EXPECT_EQ(drain(), 0);  // the panel answers 404: every report is refused
    EXPECT_EQ(panel.requestCount(), 3u);
    EXPECT_TRUE(fs::exists(queueDir / ".tmp-5B1C.json"));
    EXPECT_TRUE(fs::exists(queueDir / "notes.txt"));
    EXPECT_EQ(queue.depth(), 0u);
}

TEST_F(DiagnosticQueueTest, ADrainPassDeliversRetriesAndGivesUpByTheRules) {
    writeFile(queueDir / "1000000000-corrupt.json", "{\"attempts\": 0, \"report\": {\"trigger_reason\": 5}}");
    const auto delivered = enqueued(report("a"));
    const auto retried = enqueued(report("b"));
    enqueued(report("c"));
    enqueued(report("d"));
    enqueued(report("e"));
    const auto deliveredToo = enqueued(report("f"));
    panel.enqueue(ScriptedReply::json(200, R"({"report_id": 1})"));
    panel.enqueue(ScriptedReply::json(503, ""));
    panel.enqueue(ScriptedReply::json(401, R"({"error":"unauthorized"})"));
    panel.enqueue(ScriptedReply::json(400, R"({"error":"bad_request","message":"too big"})"));
    panel.enqueue(ScriptedReply::json(200, R"({"id": 3})"));  // not a reply the client understands: given up
    panel.enqueue(ScriptedReply::json(201, R"({"report_id": 2})"));

    EXPECT_EQ(drain(), 2);
    EXPECT_EQ(queue.queuedFiles(), std::vector<fs::path>{retried});
    EXPECT_EQ(bundleAt(retried), (QueuedBundle{1, report("b")}));
    EXPECT_FALSE(fs::exists(delivered));
    EXPECT_FALSE(fs::exists(deliveredToo));

    // The corrupt file was deleted without being posted; each report was posted as its JSON.
    const auto requests = panel.requests();
    ASSERT_EQ(requests.size(), 6u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(r.target, "/api/client/diagnostics");
        EXPECT_EQ(r.header("Authorization"), "Bearer tok");
        EXPECT_EQ(r.header("Content-Type"), "application/json");
    }
    EXPECT_EQ(requests[0].body, encodeJSON(report("a")));
    EXPECT_EQ(requests[5].body, encodeJSON(report("f")));
}

TEST_F(DiagnosticQueueTest, ATransientFailureKeepsTheReportForTwentyAttempts) {
    const auto file = enqueued(report("a"));
    panel.setHandler([](const RecordedRequest&) { return ScriptedReply::json(503, "unavailable"); });
    for (int pass = 1; pass < DiagnosticQueue::maxAttempts; ++pass) {
        EXPECT_EQ(drain(), 0);
        ASSERT_EQ(bundleAt(file).attempts, pass);
    }
    EXPECT_EQ(drain(), 0);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(panel.requestCount(), 20u);
}

TEST_F(DiagnosticQueueTest, AnUnreachablePanelCountsAsATransientFailure) {
    const auto file = enqueued(report("a"));
    HttpServer gone{certs};
    PanelClient offline{gone.url(""), std::string("tok"), &http};
    gone.stop();
    DiagnosticQueue::Poster viaOffline = [&](const DiagnosticReport& r) { return upload(&offline, r); };
    EXPECT_EQ(runToCompletion(queue.drain(viaOffline)), 0);
    EXPECT_EQ(bundleAt(file).attempts, 1);
}

TEST_F(DiagnosticQueueTest, AnEmptyQueueDrainsWithoutPosting) {
    int posts = 0;
    DiagnosticQueue::Poster counting = [&](const DiagnosticReport& r) {
        ++posts;
        return upload(&client, r);
    };
    EXPECT_EQ(runToCompletion(queue.drain(counting)), 0);
    EXPECT_EQ(posts, 0);
    EXPECT_EQ(panel.requestCount(), 0u);
}

TEST_F(DiagnosticQueueTest, AReportQueuedDuringAPassWaitsForTheNextPass) {
    enqueued(report("a"));
    panel.setHandler([](const RecordedRequest&) { return ScriptedReply::json(200, R"({"report_id": 1})"); });
    bool enqueuedDuringPass = false;
    DiagnosticQueue::Poster enqueueing = [&](const DiagnosticReport& r) {
        if (!enqueuedDuringPass) {
            enqueuedDuringPass = true;
            queue.enqueue(report("b"), true);
        }
        return upload(&client, r);
    };
    EXPECT_EQ(runToCompletion(queue.drain(enqueueing)), 1);
    EXPECT_EQ(queue.depth(), 1u);
    EXPECT_EQ(drain(), 1);
    EXPECT_EQ(queue.depth(), 0u);
}

TEST_F(DiagnosticQueueTest, PassesStartedTogetherPostEachReportOnce) {
    for (auto trigger : {"a", "b", "c"}) enqueued(report(trigger));
    panel.setHandler([](const RecordedRequest&) {
        auto reply = ScriptedReply::json(200, R"({"report_id": 1})");
        reply.delay = 30ms;
        return reply;
    });
    boost::asio::io_context io;
    std::vector<std::int64_t> counts;
    for (int i = 0; i < 3; ++i) {
        boost::asio::co_spawn(io, queue.drain(post), [&](std::exception_ptr e, std::int64_t n) {
            EXPECT_FALSE(e);
            counts.push_back(n);
        });
    }
    io.run();
    ASSERT_EQ(counts.size(), 3u);
    EXPECT_EQ(counts[0] + counts[1] + counts[2], 3);
    EXPECT_EQ(panel.requestCount(), 3u);
    EXPECT_EQ(queue.depth(), 0u);
}

TEST_F(DiagnosticQueueTest, ACancelledPassLeavesTheReportAsItWas) {
    const auto file = enqueued(report("a"));
    const std::string before = readFile(file);
    ScriptedReply hang;
    hang.hang = true;
    panel.enqueue(hang);
    boost::asio::io_context io;
    auto task = spawnTask(io.get_executor(), [](DiagnosticQueue& q, DiagnosticQueue::Poster p) -> Async<void> {
        co_await q.drain(std::move(p));
    }(queue, post));
    for (auto deadline = steady_clock::now() + 10s; panel.requestCount() == 0 && steady_clock::now() < deadline;) io.run_for(10ms);
    ASSERT_EQ(panel.requestCount(), 1u);
    task.cancel();
    io.run();
    EXPECT_TRUE(task.isFinished());
    EXPECT_EQ(readFile(file), before);
    EXPECT_FALSE(task.failure());  // ended by the cancellation, not by an error
}

TEST_F(DiagnosticQueueTest, FileSystemFailuresAreThrownAndLoseNothing) {
    writeFile(dir / "blocker", "a file where a folder should be");
    EXPECT_THROW(DiagnosticQueue(dir / "blocker" / "queue"), fs::filesystem_error);

    ASSERT_TRUE(queue.enqueue(bindFailure(2080), false).isQueued());
    advance(5min);
    EXPECT_EQ(queue.enqueue(bindFailure(2081), false), EnqueueOutcome::suppressed(1));

    // The folder is replaced by a file: nothing can be written or listed.
    fs::remove_all(queueDir);
    writeFile(queueDir, "");
    advance(61min);
    EXPECT_THROW(queue.enqueue(bindFailure(2082), false), std::system_error);
    EXPECT_THROW(queue.depth(), fs::filesystem_error);
    EXPECT_THROW(runToCompletion(queue.drain(post)), fs::filesystem_error);

    // The report that could not be saved counted neither as queued nor as a duplicate.
    fs::remove(queueDir);
    fs::create_directories(queueDir);
    auto outcome = queue.enqueue(bindFailure(2083), false);
    ASSERT_TRUE(outcome.isQueued());
    EXPECT_EQ(bundleAt(outcome.file()).report.hints.back().details.at("count"), JSONValue(1));
    EXPECT_EQ(panel.requestCount(), 0u);
}

namespace {

// A pass in a child process whose every post succeeds without the network.
int childPass(DiagnosticQueue& queue, const std::function<void()>& beforePass, DiagnosticQueue::Poster post) {
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        boost::asio::io_context io;  // its descriptors are taken before beforePass runs
        std::int64_t delivered = -1;
        boost::asio::co_spawn(io, queue.drain(std::move(post)), [&](std::exception_ptr e, std::int64_t n) {
            delivered = e ? -2 : n;
        });
        beforePass();
        io.run();
        ::_exit(static_cast<int>(delivered + 10));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) - 10 : -100;
}

Async<DiagnosticQueue::PostResult> accepted(const DiagnosticReport&) { co_return std::nullopt; }

}  // namespace

// A file this user cannot read can never be delivered by it, and deleting it needs
// only the folder's permission; a process that is merely out of descriptors keeps it.
TEST_F(DiagnosticQueueTest, AnUnreadableFileIsDeletedButNotForWantOfDescriptors) {
    const auto unreadable = enqueued(report("a"));
    const auto readable = enqueued(report("b"));
    if (::geteuid() == 0) {
        // The folders belong to nobody, the unreadable file stays root's own.
        for (fs::path p = queueDir; p != dir.path().parent_path(); p = p.parent_path()) {
            ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0) << p;
        }
        ASSERT_EQ(::chown(readable.c_str(), 65534, 65534), 0);
    } else {
        fs::permissions(unreadable, fs::perms::none);
    }
    int posts = 0;
    DiagnosticQueue::Poster counting = [&](const DiagnosticReport& r) {
        ++posts;
        return accepted(r);
    };
    const int delivered = withoutPrivileges([&] { return static_cast<int>(runToCompletion(queue.drain(counting))); });
    EXPECT_EQ(delivered, 1);
    EXPECT_FALSE(fs::exists(unreadable));
    EXPECT_FALSE(fs::exists(readable));

#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's runtime needs descriptors of its own, so the child cannot be run dry.
    GTEST_SKIP() << "running out of descriptors is tested in the build without the address sanitizer";
#endif
    // Out of descriptors: the first post takes the last free one, so the second file
    // cannot be opened. It is kept for a later pass.
    const auto first = enqueued(report("c"));
    const auto second = enqueued(report("d"));
    DiagnosticQueue::Poster holdingADescriptor = [](const DiagnosticReport& r) {
        ::open("/dev/null", O_RDONLY);  // left open on purpose
        return accepted(r);
    };
    auto leaveOneDescriptor = [] {
        int highest = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        }
        rlimit limit{static_cast<rlim_t>(highest + 1), static_cast<rlim_t>(highest + 1)};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        int last = -1;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) last = fd;  // fill every gap below the limit
        ::close(last);
    };
    EXPECT_EQ(childPass(queue, leaveOneDescriptor, holdingADescriptor), 1);
    EXPECT_FALSE(fs::exists(first));
    EXPECT_TRUE(fs::exists(second)) << "a report was lost because the process was out of descriptors";
    EXPECT_EQ(bundleAt(second), (QueuedBundle{0, report("d")}));
}
