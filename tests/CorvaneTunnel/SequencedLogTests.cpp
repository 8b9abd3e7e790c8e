#include <gtest/gtest.h>

#include <thread>

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
