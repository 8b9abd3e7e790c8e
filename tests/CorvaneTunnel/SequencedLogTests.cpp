// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "CorvaneTunnel/SequencedLog.hpp"

using namespace corvane;

TEST(SequencedLog, NumbersLinesAndServesThoseAfterANumber) {
    SequencedLog log(3);
    EXPECT_TRUE(log.after(0).empty());
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(log.append("INFO", "t", "line " + std::to_string(i)), i);
    auto all = log.after(0);
    ASSERT_EQ(all.size(), 3u);  // the ring keeps the last three
    EXPECT_EQ(all[0].seq, 3);
    EXPECT_EQ(all[0].line.message, "line 3");
    EXPECT_EQ(all[2].seq, 5);
    auto newer = log.after(4);
    ASSERT_EQ(newer.size(), 1u);
    EXPECT_EQ(newer[0].line.message, "line 5");
    EXPECT_TRUE(log.after(5).empty());
    auto limited = log.after(0, 2);
    ASSERT_EQ(limited.size(), 2u);
    EXPECT_EQ(limited[1].seq, 4);  // the oldest first, so the next request goes on from there
    // A number from before a restart of the service.
    EXPECT_EQ(log.after(900).size(), 3u);
}

TEST(SequencedLog, NumbersStayUniqueAndOrderedAcrossThreads) {
    SequencedLog log(500);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) log.append("INFO", "t", "x");
        });
    }
    for (auto& w : writers) w.join();
    EXPECT_EQ(log.lastSequence(), 800);
    auto lines = log.after(0);
    ASSERT_EQ(lines.size(), 500u);
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].seq, static_cast<std::int64_t>(301 + i));
}

TEST(SequencedLog, DropsTheOldestLinesPastItsBytesAndStillAnswersByNumber) {
    // Every line is 100 bytes of text unless the case says otherwise; its message starts with its number.
    struct Case {
        const char* name;
        std::int64_t capacity;
        std::size_t maxBytes;
        std::vector<std::size_t> sizes;  // of the lines appended, in order
        std::int64_t after;
        std::vector<std::int64_t> expected;  // the numbers answered
    };
    const std::vector<Case> cases = {
        {"within both bounds", 10, 1000, {100, 100, 100, 100, 100}, 0, {1, 2, 3, 4, 5}},
        {"the bytes bound before the count", 10, 250, {100, 100, 100, 100, 100}, 0, {4, 5}},
        {"the count bounds before the bytes", 2, 1000, {100, 100, 100, 100, 100}, 0, {4, 5}},
        {"a line that fills the bound exactly", 10, 200, {100, 100, 100}, 0, {2, 3}},
        {"a long line pushes out several short ones", 10, 250, {50, 50, 50, 50, 200}, 0, {4, 5}},
        {"a line longer than the bound is kept alone", 10, 250, {100, 100, 400}, 0, {3}},
        {"after a number still kept", 10, 250, {100, 100, 100, 100, 100}, 4, {5}},
        {"after a number already dropped", 10, 250, {100, 100, 100, 100, 100}, 2, {4, 5}},
        {"after the newest", 10, 250, {100, 100, 100, 100, 100}, 5, {}},
        {"after a number never given", 10, 250, {100, 100, 100, 100, 100}, 90, {4, 5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SequencedLog log(c.capacity, c.maxBytes);
        std::size_t total = 0;
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            LogLine line{"00:00:00", "INFO", "t", std::to_string(i + 1)};
            line.message.resize(c.sizes[i] - SequencedLog::sizeOf(line) + line.message.size(), '.');
            ASSERT_EQ(SequencedLog::sizeOf(line), c.sizes[i]);
            EXPECT_EQ(log.append(line), static_cast<std::int64_t>(i + 1));
        }
        const auto lines = log.after(c.after);
        std::vector<std::int64_t> numbers;
        for (const auto& l : lines) {
            numbers.push_back(l.seq);
            EXPECT_EQ(l.line.message.substr(0, l.line.message.find('.')), std::to_string(l.seq)) << "line " << l.seq;
        }
        EXPECT_EQ(numbers, c.expected);
        for (auto seq : log.after(0)) total += SequencedLog::sizeOf(seq.line);
        EXPECT_EQ(log.keptBytes(), total);
        EXPECT_EQ(log.lastSequence(), static_cast<std::int64_t>(c.sizes.size()));
    }
}

TEST(SequencedLog, AReplyOfFullLengthLinesStaysWithinTheBytes) {
    // Engine lines of the longest kind the service keeps.
    SequencedLog log;
    for (int i = 0; i < 500; ++i) log.append("INFO", "t", std::string(4096, 'x'));
    const auto lines = log.after(0);
    std::size_t bytes = 0;
    for (const auto& l : lines) bytes += SequencedLog::sizeOf(l.line);
    EXPECT_LE(bytes, SequencedLog::defaultMaxBytes);
    EXPECT_GT(bytes, SequencedLog::defaultMaxBytes - 4200) << "more lines were dropped than the bound asks";
    EXPECT_EQ(lines.back().seq, 500);
    EXPECT_EQ(lines.front().seq, 500 - static_cast<std::int64_t>(lines.size()) + 1);
}
