// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <thread>

#include "CorvaneCore/Diagnostics/LogRing.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::fleet;
using namespace std::chrono;

namespace {

LogLine line(std::string level, std::string message) { return {"10:00:00", std::move(level), "tunnel", std::move(message)}; }

std::vector<std::string> messages(const std::vector<LogLine>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(l.message);
    return out;
}

std::size_t countEntries(const std::filesystem::path& dir) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

}  // namespace

TEST(LogRing, KeepsTheNewestLinesUpToItsCapacity) {
    struct Case {
        std::int64_t capacity;
        int appended;
        std::vector<std::string> kept;
        std::size_t effective;
    };
    for (const auto& c : std::vector<Case>{{3, 5, {"2", "3", "4"}, 3}, {0, 2, {"1"}, 1}, {-4, 1, {"0"}, 1}, {10, 2, {"0", "1"}, 10}}) {
        LogRing ring(c.capacity);
        for (int i = 0; i < c.appended; ++i) ring.append(line("INFO", std::to_string(i)));
        EXPECT_EQ(messages(ring.snapshot()), c.kept) << "capacity " << c.capacity;
        EXPECT_EQ(ring.capacity(), c.effective);
    }
}

TEST(LogRing, RanksLevelsAndFiltersByMinimumLevel) {
    EXPECT_EQ(LogRing::rank("trace"), 0);
    EXPECT_EQ(LogRing::rank("Debug"), 1);
    EXPECT_EQ(LogRing::rank("INFO"), 2);
    EXPECT_EQ(LogRing::rank("warning"), 3);
    EXPECT_EQ(LogRing::rank("ERROR"), 4);
    EXPECT_EQ(LogRing::rank("fatal"), 5);
    EXPECT_EQ(LogRing::rank("PANIC"), 4);  // unknown levels count as errors
    EXPECT_EQ(LogRing::rank(""), 4);

    LogRing ring(LogRing::appCapacity);
    for (auto level : {"INFO", "WARN", "debug", "warning", "ERROR", "FATAL", "notice", "TRACE"}) ring.append(line(level, level));
    EXPECT_EQ(messages(ring.snapshot("warn")), (std::vector<std::string>{"WARN", "warning", "ERROR", "FATAL", "notice"}));
    EXPECT_EQ(ring.snapshot("TRACE").size(), 8u);
}

TEST(LogRing, TimestampIsTheUTCTimeOfDayWhateverTheLocalZone) {
    const char* saved = std::getenv("TZ");
    std::string previous = saved ? saved : "";
    setenv("TZ", "Asia/Kathmandu", 1);  // +05:45
    tzset();
    EXPECT_EQ(LogRing::timestamp(sys_days{2025y / June / 1} + 9h + 5min + 3s + 999ms), "09:05:03");
    // Before 1970 the seconds still count down from midnight.
    EXPECT_EQ(LogRing::timestamp(sys_days{1969y / December / 31} + 23h + 59min + 59s + 500ms), "23:59:59");
    if (saved) setenv("TZ", previous.c_str(), 1); else unsetenv("TZ");
    tzset();

    LogRing ring(5);
    ring.append("WARN", "router", "slow", sys_days{2025y / June / 1} + 23h + 0min + 7s);
    EXPECT_EQ(ring.snapshot(), (std::vector<LogLine>{{"23:00:07", "WARN", "router", "slow"}}));
}

TEST(LogRing, MirrorsEveryLineAsOneJSONLine) {
    TempDir dir;
    const auto file = dir / "app-log.jsonl";
    {
        LogRing ring(2, file);
        ring.append(line("INFO", "first"));
        ring.append(LogLine{"10:00:01", "ERROR", "dns", "quote \" and\nnewline"});
        ring.append(line("WARN", "third"));
        EXPECT_EQ(ring.snapshot().size(), 2u);
    }
    // The mirror keeps what the ring dropped; no temporary file is left behind.
    EXPECT_EQ(readFile(file),
              "{\"ts\":\"10:00:00\",\"level\":\"INFO\",\"target\":\"tunnel\",\"message\":\"first\"}\n"
              "{\"ts\":\"10:00:01\",\"level\":\"ERROR\",\"target\":\"dns\",\"message\":\"quote \\\" and\\nnewline\"}\n"
              "{\"ts\":\"10:00:00\",\"level\":\"WARN\",\"target\":\"tunnel\",\"message\":\"third\"}\n");
    EXPECT_EQ(countEntries(dir.path()), 1u);

    // A new ring does not read the file, but goes on appending to it.
    LogRing again(5, file);
    EXPECT_TRUE(again.snapshot().empty());
    again.append(line("INFO", "fourth"));
    EXPECT_EQ(messages(LogRing::read(file, 10)), (std::vector<std::string>{"first", "quote \" and\nnewline", "third", "fourth"}));

    again.clear();
    EXPECT_TRUE(again.snapshot().empty());
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(LogRing, ReadingAMirrorSkipsBadLinesAndKeepsTheLastOnes) {
    TempDir dir;
    const auto file = dir / "log.jsonl";
    std::string text;
    for (int i = 0; i < 5; ++i) {
        text += encodeJSON(line("INFO", std::to_string(i))) + "\n";
        if (i == 2) text += "{\"ts\":\"10:00:00\",\"level\":\"INFO\"}\n\nnot json at all\n{\"ts\":1,\"level\":\"x\",\"target\":\"t\",\"message\":\"m\"}\n";
    }
    text += "{\"ts\":\"10:00:00\",\"level\":\"IN";  // cut off by a crash
    writeFile(file, text);

    EXPECT_EQ(messages(LogRing::read(file, 100)), (std::vector<std::string>{"0", "1", "2", "3", "4"}));
    EXPECT_EQ(messages(LogRing::read(file, 2)), (std::vector<std::string>{"3", "4"}));
    EXPECT_TRUE(LogRing::read(file, 0).empty());
    EXPECT_TRUE(LogRing::read(dir / "missing.jsonl", 10).empty());
    EXPECT_TRUE(LogRing::read(dir.path(), 10).empty());  // a directory cannot be read as a file
}

// The mirror holds destinations and addresses before they are sanitised.
TEST(LogRing, TheMirrorIsTheOwnersOnly) {
    TempDir dir;
    auto mode = [](const std::filesystem::path& file) {
        struct stat st {};
        return ::stat(file.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
    };
    const auto file = dir / "app-log.jsonl";
    LogRing ring(3, file);
    ring.append(line("INFO", "connect to 203.0.113.50:443"));
    ring.append(line("INFO", "second"));
    EXPECT_EQ(mode(file), 0600u);
    ring.clear();
    ring.append(line("INFO", "after clearing"));
    EXPECT_EQ(mode(file), 0600u);

    // A mirror an older version left readable to all is made private by the next line.
    const auto old = dir / "old-log.jsonl";
    writeFile(old, "");
    std::filesystem::permissions(old, std::filesystem::perms(0644));
    LogRing(3, old).append(line("INFO", "more"));
    EXPECT_EQ(mode(old), 0600u);
}

TEST(LogRing, AMirrorThatCannotBeWrittenLeavesTheLinesInMemory) {
    TempDir dir;
    LogRing ring(3, dir / "missing" / "log.jsonl");
    EXPECT_NO_THROW(ring.append(line("INFO", "kept")));
    EXPECT_NO_THROW(ring.clear());
    ring.append(line("INFO", "again"));
    EXPECT_EQ(messages(ring.snapshot()), std::vector<std::string>{"again"});
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST(LogRing, LinesAppendedFromManyThreadsAreAllKeptWhole) {
    TempDir dir;
    const auto file = dir / "log.jsonl";
    LogRing ring(LogRing::appCapacity, file);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&ring, t] {
            for (int i = 0; i < 300; ++i) ring.append("INFO", "thread-" + std::to_string(t), std::string(200, 'x'));
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(ring.snapshot().size(), 1000u);
    EXPECT_EQ(LogRing::read(file, 5000).size(), 1200u);  // every mirrored line decodes
}
