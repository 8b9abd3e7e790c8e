// SPDX-License-Identifier: GPL-3.0-or-later
// The control API client against a scripted server: the answers the real
// engine cannot be made to give on purpose.
#include <gtest/gtest.h>

#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "Corvane/Tunnel/ClashClient.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"
#include "TestSupport/ForeignListener.hpp"
#include "tools/fleet/HttpServer.hpp"

using namespace corvane;
using namespace corvane::fleet;
using namespace std::chrono_literals;

namespace {

ScriptedReply status(int code, std::string body = {}) {
    ScriptedReply reply;
    reply.status = code;
    reply.body = std::move(body);
    return reply;
}

ScriptedReply dropped() {
    ScriptedReply reply;
    reply.drop = true;
    return reply;
}

class ClashClientScriptedTest : public ::testing::Test {
protected:
    HttpServer server;
    ClashClient client{server.port(), "s3cret",
                       ClashClient::Endpoints{.groupTestURL = "https://probe.test/generate_204",
                                              .probeURLs = {"https://trace-a.test/cdn-cgi/trace",
                                                            "https://trace-b.test/cdn-cgi/trace"}}};

    std::vector<std::string> targets() const {
        std::vector<std::string> out;
        for (const auto& r : server.requests()) out.push_back(r.method + " " + r.target);
        return out;
    }
    void expectEveryRequestAuthorised() const {
        for (const auto& r : server.requests()) EXPECT_EQ(r.header("Authorization"), "Bearer s3cret") << r.target;
    }
};

TEST_F(ClashClientScriptedTest, SetSelectorSendsTheChoiceAndAcceptsAny2xx) {
    for (int code : {200, 204, 299}) {
        server.enqueue(status(code));
        EXPECT_NO_THROW(runToCompletion(client.setSelector("proxy", "proxy-1"))) << code;
    }
    for (int code : {300, 400, 404, 500}) {
        server.enqueue(ScriptedReply::json(code, R"({"message":"Selector update error: not found"})"));
        try {
            runToCompletion(client.setSelector("proxy", "proxy-1"));
            ADD_FAILURE() << code << " accepted";
        } catch (const ClashClient::ClashError& e) {
            EXPECT_EQ(e, ClashClient::ClashError::http(code));
            EXPECT_EQ(e.status(), code);
        }
    }
    auto request = server.requests().front();
    EXPECT_EQ(request.method, "PUT");
    EXPECT_EQ(request.target, "/proxies/proxy");
    EXPECT_EQ(request.body, R"({"name":"proxy-1"})");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    expectEveryRequestAuthorised();

    server.enqueue(dropped());
    EXPECT_THROW(runToCompletion(client.setSelector("proxy", "proxy-0")), HttpError);
    // A name that cannot form a URL is an error, not a crash.
    EXPECT_THROW(runToCompletion(client.setSelector("my proxy", "proxy-0")), HttpError);
}

TEST_F(ClashClientScriptedTest, ProxiesDecodesTheTableAndRequiresStatus200) {
    // As the engine writes it: no content type, spaces after the outer keys, fields we do not read.
    server.enqueue(status(200, R"({"proxies": {"GLOBAL":{"all":["proxy"],"history":[],"name":"GLOBAL","now":"proxy",)"
                               R"("type":"Fallback","udp":true}, "proxy-0":{"type":"VLESS","name":"proxy-0","udp":true,)"
                               R"("history":[{"time":"2025-06-01T09:15:07.1+00:00","delay":42}]}, "proxy-auto":)"
                               R"({"type":"URLTest","history":[],"now":"","all":["proxy-0"]}, "direct":{"type":"Direct"}}})"));
    auto table = runToCompletion(client.proxies());
    EXPECT_EQ(table.proxies.size(), 4u);
    EXPECT_EQ(table.proxies["proxy-0"].history,
              (std::vector<ClashClient::Proxy::Delay>{{42, "2025-06-01T09:15:07.1+00:00"}}));
    using namespace std::chrono;
    EXPECT_EQ(table.proxies["proxy-0"].history->back().measuredAt(),
              sys_days(year{2025} / 6 / 1) + 9h + 15min + 7s + 100ms);
    EXPECT_EQ(table.proxies["proxy-0"].now, std::nullopt);
    EXPECT_EQ(table.proxies["proxy-auto"].now, "");
    EXPECT_EQ(table.proxies["direct"], ClashClient::Proxy{});
    EXPECT_EQ(targets(), std::vector<std::string>{"GET /proxies"});

    for (int code : {204, 401, 500}) {
        server.enqueue(status(code, code == 204 ? "" : R"({"proxies":{}})"));
        try {
            runToCompletion(client.proxies());
            ADD_FAILURE() << code << " accepted";
        } catch (const ClashClient::ClashError& e) {
            EXPECT_EQ(e, ClashClient::ClashError::http(code));
        }
    }
    server.enqueue(status(200, R"({"proxies":{"proxy-0":{"history":[{"delay":"fast"}]}}})"));
    EXPECT_THROW(runToCompletion(client.proxies()), DecodingError);
    server.enqueue(status(200, "not json"));
    EXPECT_THROW(runToCompletion(client.proxies()), DecodingError);
    expectEveryRequestAuthorised();
}

TEST_F(ClashClientScriptedTest, TotalsReadsTheCumulativeCountersOrNothing) {
    server.enqueue(ScriptedReply::json(200, R"({"connections":[],"downloadTotal":2048,"memory":1,"uploadTotal":512})"));
    EXPECT_EQ(runToCompletion(client.totals()), (ClashClient::Totals{.up = 512, .down = 2048}));
    EXPECT_EQ(targets(), std::vector<std::string>{"GET /connections"});

    for (auto reply : {ScriptedReply::json(503, R"({"downloadTotal":1,"uploadTotal":1})"),
                       ScriptedReply::json(200, R"({"downloadTotal":1})"), ScriptedReply::json(200, "[]"), dropped()}) {
        server.enqueue(reply);
        EXPECT_EQ(runToCompletion(client.totals()), std::nullopt);
    }
    expectEveryRequestAuthorised();
}

TEST_F(ClashClientScriptedTest, CloseConnectionsDeletesOnlySafeMatchingIdsAndCountsSuccesses) {
    server.setHandler([](const RecordedRequest& r) {
        if (r.method == "GET") {
            return ScriptedReply::json(200, R"({"connections":[)"
                                            R"({"id":"a-1","chains":["proxy-0","proxy"]},)"
                                            R"({"id":"b-2","chains":["proxy-1","proxy"]},)"
                                            R"({"id":"../all","chains":["proxy-0"]},)"
                                            R"({"id":"with space","chains":["proxy-0"]},)"
                                            R"({"id":"","chains":["proxy-0"]},)"
                                            R"({"id":"gone","chains":["proxy-0"]},)"
                                            R"({"id":"drop","chains":["proxy-0"]},)"
                                            R"({"id":"连接_3","chains":["proxy-0"]},)"
                                            R"({"id":"c-4","chains":["proxy-00","PROXY-0"]},)"
                                            R"({"id":"d_5","chains":["direct","proxy-0"]}],)"
                                            R"("downloadTotal":0,"uploadTotal":0})");
        }
        if (r.target == "/connections/gone") return status(404);
        if (r.target == "/connections/drop") return dropped();
        return status(204);
    });
    EXPECT_EQ(runToCompletion(client.closeConnections("proxy-0")), 3);
    EXPECT_EQ(targets(), (std::vector<std::string>{"GET /connections", "DELETE /connections/a-1",
                                                   "DELETE /connections/gone", "DELETE /connections/drop",
                                                   "DELETE /connections/%E8%BF%9E%E6%8E%A5_3",
                                                   "DELETE /connections/d_5"}));
    expectEveryRequestAuthorised();
}

TEST_F(ClashClientScriptedTest, CloseConnectionsWithoutAUsableListingClosesNothing) {
    for (auto reply : {ScriptedReply::json(200, R"({"connections":null,"downloadTotal":0})"),
                       ScriptedReply::json(200, R"({"uploadTotal":0})"),
                       ScriptedReply::json(500, R"({"connections":[{"id":"a","chains":["proxy-0"]}]})"),
                       ScriptedReply::json(200, R"({"connections":[{"id":"a"}]})"), dropped()}) {
        server.enqueue(reply);
        EXPECT_EQ(runToCompletion(client.closeConnections("proxy-0")), 0);
    }
    EXPECT_EQ(server.requestCount(), 5u);
    for (const auto& target : targets()) EXPECT_EQ(target, "GET /connections");
}

TEST_F(ClashClientScriptedTest, TestGroupAsksTheUrlTestGroupAndSwallowsFailures) {
    for (auto reply : {ScriptedReply::json(200, "{}"), ScriptedReply::json(500, "{}"), dropped()}) {
        server.enqueue(reply);
        EXPECT_NO_THROW(runToCompletion(client.testGroup()));
    }
    for (const auto& target : targets()) {
        EXPECT_EQ(target, "GET /group/proxy-auto/delay?url=https%3A%2F%2Fprobe.test%2Fgenerate_204&timeout=5000");
    }
    EXPECT_EQ(server.requestCount(), 3u);
    expectEveryRequestAuthorised();
}

TEST_F(ClashClientScriptedTest, ProbeTriesEachEndpointInOrderUntilOneAnswers200) {
    const std::string first = "GET /proxies/proxy-0/delay?url=https%3A%2F%2Ftrace-a.test%2Fcdn-cgi%2Ftrace&timeout=5000";
    const std::string second = "GET /proxies/proxy-0/delay?url=https%3A%2F%2Ftrace-b.test%2Fcdn-cgi%2Ftrace&timeout=5000";
    struct Case {
        std::vector<ScriptedReply> replies;
        bool reachable;
        std::vector<std::string> targets;
    };
    const std::vector<Case> cases = {
        {{ScriptedReply::json(200, R"({"delay":12})")}, true, {first}},
        {{ScriptedReply::json(503, R"({"message":"An error occurred in the delay test"})"),
          ScriptedReply::json(200, R"({"delay":12})")},
         true,
         {first, second}},
        {{dropped(), ScriptedReply::json(200, R"({"delay":12})")}, true, {first, second}},
        {{ScriptedReply::json(504, R"({"message":"Timeout"})"), ScriptedReply::json(201, "{}")}, false, {first, second}},
    };
    for (const auto& c : cases) {
        HttpServer scripted;
        for (const auto& reply : c.replies) scripted.enqueue(reply);
        ClashClient probing(scripted.port(), "s3cret", client.endpoints());
        EXPECT_EQ(runToCompletion(probing.probe("proxy-0")), c.reachable);
        std::vector<std::string> sent;
        for (const auto& r : scripted.requests()) sent.push_back(r.method + " " + r.target);
        EXPECT_EQ(sent, c.targets);
    }
}

Async<void> probeInTask(ClashClient client, std::optional<bool>& result) {
    result = co_await client.probe("proxy-0");
}

TEST_F(ClashClientScriptedTest, ProbeStopsAtOnceWhenItsTaskIsCancelled) {
    // Cancelled while the first endpoint is being tried: false, and the second one is never asked.
    ScriptedReply hang;
    hang.hang = true;
    server.enqueue(hang);
    boost::asio::io_context io;
    std::optional<bool> result;
    auto task = spawnTask(io.get_executor(), probeInTask(client, result));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (server.requestCount() == 0 && std::chrono::steady_clock::now() < deadline) io.run_one_for(10ms);
    task.cancel();
    io.run();
    EXPECT_EQ(result, false);
    EXPECT_EQ(server.requestCount(), 1u);

    // Cancelled as it starts: no answer is waited for, and nothing reaches the server.
    io.restart();
    std::optional<bool> never;
    auto cancelled = spawnTask(io.get_executor(), probeInTask(client, never));
    cancelled.cancel();
    io.run();
    EXPECT_NE(never, true);
    EXPECT_EQ(server.requestCount(), 1u);
}

Async<void> consume(ClashClient::TrafficStream stream, std::vector<ClashClient::Traffic>& samples, bool& ended,
                    std::string& failure, TaskHandle* cancelAfterFirst) {
    try {
        while (auto sample = co_await stream.next()) {
            samples.push_back(*sample);
            if (cancelAfterFirst) cancelAfterFirst->cancel();
        }
        ended = true;
    } catch (const std::exception& e) {
        failure = e.what();
    }
}

TEST_F(ClashClientScriptedTest, TrafficYieldsTheSamplesItCanReadLineByLine) {
    ScriptedReply stream;
    stream.headers = {{"Content-Type", "application/json"}};
    stream.chunks = {{0ms, "{\"up\":1}\n"},
                     {0ms, "not json\n{\"up\":1,\"down\":2}\n{\"up\":3,"},
                     {20ms, "\"down\":4}\n\n"},
                     {0ms, "{\"up\":1.5,\"down\":1}\n{\"down\":9,\"up\":8,\"extra\":true}"}};
    server.enqueue(stream);

    std::vector<ClashClient::Traffic> samples;
    bool ended = false;
    std::string failure;
    runToCompletion(consume(client.traffic(), samples, ended, failure, nullptr));
    EXPECT_EQ(samples, (std::vector<ClashClient::Traffic>{{1, 2}, {3, 4}, {8, 9}}));
    EXPECT_TRUE(ended) << failure;
    EXPECT_EQ(targets(), std::vector<std::string>{"GET /traffic"});
    expectEveryRequestAuthorised();

    // An error answer yields nothing and ends.
    server.enqueue(ScriptedReply::json(401, R"({"message":"Unauthorized"})"));
    samples.clear();
    ended = false;
    runToCompletion(consume(client.traffic(), samples, ended, failure, nullptr));
    EXPECT_TRUE(samples.empty());
    EXPECT_TRUE(ended);
}

TEST_F(ClashClientScriptedTest, TrafficEndsWhenTheConsumersTaskIsCancelled) {
    ScriptedReply stream;
    stream.chunks = {{0ms, "{\"up\":5,\"down\":6}\n"}};
    stream.endStream = false;  // the engine would go on for as long as it runs
    server.enqueue(stream);

    boost::asio::io_context io;
    std::vector<ClashClient::Traffic> samples;
    bool ended = false;
    std::string failure;
    TaskHandle task;
    task = spawnTask(io.get_executor(), consume(client.traffic(), samples, ended, failure, &task));
    io.run();
    EXPECT_TRUE(task.isFinished());
    EXPECT_EQ(samples, (std::vector<ClashClient::Traffic>{{5, 6}}));
    EXPECT_FALSE(ended);
    EXPECT_FALSE(failure.empty());
}

TEST_F(ClashClientScriptedTest, AFailureToConnectIsAnErrorOnlyForUserOperations) {
    const auto port = server.port();
    server.stop();
    ClashClient closed(port, "s3cret", client.endpoints());
    EXPECT_THROW(runToCompletion(closed.proxies()), HttpError);
    EXPECT_THROW(runToCompletion(closed.setSelector("proxy", "proxy-0")), HttpError);
    EXPECT_EQ(runToCompletion(closed.totals()), std::nullopt);
    EXPECT_EQ(runToCompletion(closed.closeConnections("proxy-0")), 0);
    EXPECT_NO_THROW(runToCompletion(closed.testGroup()));
    EXPECT_FALSE(runToCompletion(closed.probe("proxy-0")));
    std::vector<ClashClient::Traffic> samples;
    bool ended = false;
    std::string failure;
    runToCompletion(consume(closed.traffic(), samples, ended, failure, nullptr));
    EXPECT_FALSE(ended);
    EXPECT_FALSE(failure.empty());
}

}  // namespace

// The engine's port on loopback is open to every local account's race: the
// secret goes there only while the kernel shows the engine's account listening.
TEST(ClashClientListener, TheSecretGoesOnlyToTheNamedAccountsListener) {
    if (::geteuid() != 0) GTEST_SKIP() << "taking another account's uid for the listener needs root";
    corvane::testing::ForeignListener other(65534);
    ClashClient mine(other.port(), "the-live-secret", {}, nullptr, ::geteuid());
    try {
        runToCompletion(mine.proxies());
        ADD_FAILURE() << "the request went out";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.kind(), HttpError::Kind::connect);
        EXPECT_NE(std::string(e.what()).find("held by uid 65534"), std::string::npos) << e.what();
    }
    EXPECT_EQ(runToCompletion(mine.totals()), std::nullopt);
    EXPECT_EQ(other.connections(), 0);
    EXPECT_EQ(other.received(), "");

    // The same listener, named as the engine's by the service, gets the request.
    ClashClient engines(other.port(), "the-live-secret", {}, nullptr, 65534);
    EXPECT_TRUE(runToCompletion(engines.proxies()).proxies.empty());
    EXPECT_NE(other.received().find("Bearer the-live-secret"), std::string::npos);
}
