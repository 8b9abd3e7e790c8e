// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "CorvaneCore/Tunnel/TunnelIPC.hpp"

using namespace corvane;
using namespace corvane::TunnelIPC;

namespace {

template <class T>
T decode(std::string_view text) {
    return decodeJSON<T>(text);
}

struct RequestCase {
    Request request;
    std::string json;
};

TEST(TunnelIPC, RequestsEncodeAsOneKeyObjectsAndRoundTrip) {
    const std::vector<RequestCase> cases = {
        {Request::status(), R"({"status":{}})"},
        {Request::logs(42), R"({"logs":{"after":42}})"},
        {Request::recoverNetwork(9090), R"({"recoverNetwork":{"clashPort":9090}})"},
        {Request::logs(-1), R"({"logs":{"after":-1}})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encodeJSON(c.request), c.json);
        EXPECT_EQ(decode<Request>(c.json), c.request) << c.json;
    }
}

TEST(TunnelIPC, RequestDecodingIgnoresWhatNamesNoCase) {
    const std::vector<std::pair<std::string, Request>> cases = {
        {R"({"status":{"x":1}})", Request::status()},
        {R"({"status":{},"extra":5})", Request::status()},
        {R"({"Logs":{"after":3},"logs":{"after":7,"before":1}})", Request::logs(7)},
        {R"({"recoverNetwork":{"clashPort":2080},"status ":{}})", Request::recoverNetwork(2080)},
    };
    for (const auto& [json, expected] : cases) EXPECT_EQ(decode<Request>(json), expected) << json;
}

TEST(TunnelIPC, MalformedRequestsAreRejectedWithTheirReason) {
    struct Case {
        std::string json;
        std::string path;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {R"({"status":{},"logs":{"after":1}})", "", "Invalid number of keys found, expected one."},
        {R"({})", "", "Invalid number of keys found, expected one."},
        {R"({"STATUS":{}})", "", "Invalid number of keys found, expected one."},
        {R"({"status":{},"logs":{"after":1},"recoverNetwork":{"clashPort":1}})", "",
         "Invalid number of keys found, expected one."},
        {R"({"logs":{}})", "logs.after", "missing required key"},
        {R"({"recoverNetwork":{"port":1}})", "recoverNetwork.clashPort", "missing required key"},
        {R"({"logs":{"after":"7"}})", "logs.after", "expected an integer, found a string"},
        {R"({"status":true})", "status", "expected an object, found a boolean"},
    };
    for (const auto& c : cases) {
        try {
            decode<Request>(c.json);
            ADD_FAILURE() << c.json << " decoded";
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.path(), c.path) << c.json;
            EXPECT_EQ(e.reason(), c.reason) << c.json;
        }
    }
    try {
        decode<Request>(R"({})");
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.description(), "Invalid number of keys found, expected one.");
    }
}

TEST(TunnelIPC, StatusReplyOmitsAbsentFieldsAndReadsNullAsAbsent) {
    StatusReply onlyPort{.clashPort = 9090};
    EXPECT_EQ(encodeJSON(onlyPort), R"({"clashPort":9090})");
    EXPECT_EQ(decode<StatusReply>("{}"), StatusReply{});
    EXPECT_EQ(decode<StatusReply>(R"({"clashPort":null,"clashSecret":null,"lastError":null,"startedAtUnix":null})"),
              StatusReply{});

    StatusReply full{9090, "s3cret", "engine exited", 1765000000};
    EXPECT_EQ(encodeJSON(full),
              R"({"clashPort":9090,"clashSecret":"s3cret","lastError":"engine exited","startedAtUnix":1765000000})");
    EXPECT_EQ(decode<StatusReply>(encodeJSON(full)), full);
    EXPECT_EQ(decode<StatusReply>(R"({"clashPort":1,"future":[1,2]})"), StatusReply{.clashPort = 1});
}

TEST(TunnelIPC, RepliesRequireEveryKeyAndRoundTrip) {
    LogsReply logs{{{1, {"09:05:03", "INFO", "router", "started"}}, {2, {"09:05:04", "ERROR", "", "dial: refused"}}}};
    EXPECT_EQ(encodeJSON(logs),
              R"({"lines":[{"seq":1,"line":{"ts":"09:05:03","level":"INFO","target":"router","message":"started"}},)"
              R"({"seq":2,"line":{"ts":"09:05:04","level":"ERROR","target":"","message":"dial: refused"}}]})");
    EXPECT_EQ(decode<LogsReply>(encodeJSON(logs)), logs);
    EXPECT_EQ(decode<LogsReply>(R"({"lines":[],"more":true})"), LogsReply{});
    EXPECT_EQ(decode<ActionReply>(R"({"performed":true})"), ActionReply{true});
    EXPECT_EQ(encodeJSON(ActionReply{false}), R"({"performed":false})");

    EXPECT_THROW(decode<ActionReply>("{}"), DecodingError);
    try {
        decode<LogsReply>(R"({"lines":[{"seq":1}]})");
        ADD_FAILURE();
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.path(), "lines[0].line");
    }
    try {
        decode<LogsReply>(R"({"lines":[{"seq":1,"line":{"ts":"x","level":"INFO","target":"t"}}]})");
        ADD_FAILURE();
    } catch (const DecodingError& e) {
        EXPECT_EQ(e.path(), "lines[0].line.message");
    }
    EXPECT_THROW(decode<LogsReply>("{}"), DecodingError);
}

TEST(TunnelIPC, SharedConstants) {
    EXPECT_EQ(providerBundleIdentifier, "com.corvane.client.tunnel");
    EXPECT_EQ(StartOption::config, "config");
}

}  // namespace
