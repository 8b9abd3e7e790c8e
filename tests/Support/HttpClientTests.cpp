// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"
#include "TestSupport/ScopedEnv.hpp"
#include "tools/fleet/TempDir.hpp"
#include "tools/fleet/HttpServer.hpp"

using namespace corvane;
using namespace corvane::fleet;
using namespace std::chrono_literals;
namespace asio = boost::asio;

namespace {

class HttpClientTest : public ::testing::Test {
protected:
    TempDir dir;
    Certificates certs = Certificates::make(dir.path());
    HttpServer server{certs};
    HttpClient client{HttpClientOptions{.extraCAFile = certs.caFile.string()}};

    HttpResponse send(HttpRequest r) { return runToCompletion(client.send(std::move(r))); }

    HttpError::Kind failureKind(HttpRequest r, HttpClient* using_ = nullptr) {
        try {
            runToCompletion((using_ ? using_ : &client)->send(std::move(r)));
        } catch (const HttpError& e) {
            return e.kind();
        }
        ADD_FAILURE() << "the request succeeded";
        return HttpError::Kind::protocol;
    }
};

std::uint16_t closedPort() {
    asio::io_context io;
    asio::ip::tcp::acceptor a(io, {asio::ip::make_address("127.0.0.1"), 0});
    return a.local_endpoint().port();  // closed again when `a` goes
}

}  // namespace

TEST_F(HttpClientTest, SendsTheRequestAndReadsTheReplyOverVerifiedTLS) {
    server.enqueue(ScriptedReply::json(201, R"({"ok":true})"));
    auto response = send({.method = "POST", .url = server.url("/api/x?y=1"), .headers = {{"X-Test", "1"}}, .body = "{}"});
    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.body, R"({"ok":true})");
    ASSERT_NE(response.header("content-type"), nullptr);
    EXPECT_EQ(*response.header("Content-Type"), "application/json");

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/api/x?y=1");
    EXPECT_EQ(requests[0].header("X-Test"), "1");
    EXPECT_EQ(requests[0].header("Content-Length"), "2");
    EXPECT_EQ(requests[0].body, "{}");
}

TEST_F(HttpClientTest, RefusesWhatItCannotTrust) {
    // A certificate for another name.
    TempDir otherDir;
    auto otherCerts = Certificates::make(otherDir.path(), {"panel.example.com"});
    HttpServer wrongName(otherCerts);
    HttpClient trustsOther{HttpClientOptions{.extraCAFile = otherCerts.caFile.string()}};
    EXPECT_EQ(failureKind({.url = wrongName.url()}, &trustsOther), HttpError::Kind::tls);

    // A CA that is not trusted.
    HttpClient systemOnly{HttpClientOptions{}};
    EXPECT_EQ(failureKind({.url = server.url()}, &systemOnly), HttpError::Kind::tls);
    EXPECT_EQ(server.requestCount(), 0u);

    // An unreadable CA file is reported on use, not swallowed.
    HttpClient badCA{HttpClientOptions{.extraCAFile = (dir / "missing.pem").string()}};
    EXPECT_EQ(failureKind({.url = server.url()}, &badCA), HttpError::Kind::tls);
}

TEST_F(HttpClientTest, TrustsTheSystemsCertificateFolderOrTheBundleItNames) {
    // The test CA filed under its subject hash, as update-ca-certificates files the system's roots.
    const auto hashed = dir / "hashed";
    const auto plain = dir / "plain";
    std::filesystem::create_directories(hashed);
    std::filesystem::create_directories(plain);
    {
        std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(certs.caFile.c_str(), "r"), BIO_free);
        std::unique_ptr<X509, decltype(&X509_free)> ca(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr), X509_free);
        ASSERT_TRUE(ca);
        char name[16];
        std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(ca.get()));
        std::filesystem::copy_file(certs.caFile, hashed / name);
        std::filesystem::copy_file(certs.caFile, plain / "test-ca.pem");
    }
    struct Case {
        std::optional<std::string> folders, bundle;
        bool trusted;
    } cases[] = {
        {hashed.string(), std::nullopt, true},
        {"/nonexistent:" + hashed.string(), std::nullopt, true},
        // Certificates not filed by hash are not found by hash: the default bundle, without the test CA, is read.
        {plain.string(), std::nullopt, false},
        {plain.string(), certs.caFile.string(), true},
    };
    for (const auto& c : cases) {
        corvane::testing::ScopedEnv folderEnv("SSL_CERT_DIR", c.folders), bundleEnv("SSL_CERT_FILE", c.bundle);
        HttpClient systemOnly{HttpClientOptions{}};
        if (c.trusted) {
            server.enqueue(ScriptedReply::json(200, "{}"));
            EXPECT_EQ(runToCompletion(systemOnly.send({.url = server.url()})).status, 200) << *c.folders;
        } else {
            EXPECT_EQ(failureKind({.url = server.url()}, &systemOnly), HttpError::Kind::tls) << *c.folders;
        }
    }
}

TEST_F(HttpClientTest, TransportFailuresHaveTheirKinds) {
    EXPECT_EQ(failureKind({.url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/"}), HttpError::Kind::connect);
    EXPECT_EQ(failureKind({.url = "ftp://127.0.0.1/"}), HttpError::Kind::invalidURL);
    EXPECT_EQ(failureKind({.url = "not a url"}), HttpError::Kind::invalidURL);
    // A port past 65535 is not taken modulo 65536 (which would reach the server's own port here).
    for (const std::string& port : {std::to_string(65536 + server.port()), std::string("99999999999999999999999")}) {
        EXPECT_EQ(failureKind({.url = "https://127.0.0.1:" + port + "/"}), HttpError::Kind::invalidURL) << port;
    }
    EXPECT_EQ(server.requestCount(), 0u);

    ScriptedReply dropped;
    dropped.drop = true;
    server.enqueue(dropped);
    EXPECT_EQ(failureKind({.url = server.url()}), HttpError::Kind::protocol);

    // Three digits outside the defined classes are no answer to act on.
    for (int status : {600, 999}) {
        server.enqueue(ScriptedReply::json(status, "{}"));
        EXPECT_EQ(failureKind({.url = server.url()}), HttpError::Kind::protocol) << status;
    }
}

TEST_F(HttpClientTest, ATimeoutFiresWhenTheServerStalls) {
    ScriptedReply stall;
    stall.hang = true;
    server.enqueue(stall);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failureKind({.url = server.url(), .timeout = 200ms}), HttpError::Kind::timeout);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 190ms);
    EXPECT_LT(elapsed, 5s);
}

TEST_F(HttpClientTest, CancellingTheTaskAbortsTheRequestAtOnce) {
    ScriptedReply stall;
    stall.hang = true;
    server.enqueue(stall);
    asio::io_context io;
    std::optional<HttpError::Kind> kind;
    auto request = [&]() -> Async<void> {
        try {
            HttpRequest r{.url = server.url(), .timeout = 60s};
            co_await client.send(std::move(r));
        } catch (const HttpError& e) {
            kind = e.kind();
        }
    };
    auto task = spawnTask(io.get_executor(), request());
    asio::steady_timer later(io, 100ms);
    std::chrono::steady_clock::time_point cancelledAt;
    later.async_wait([&](auto) {
        cancelledAt = std::chrono::steady_clock::now();
        task.cancel();
    });
    io.run();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, 1s);
    EXPECT_EQ(kind, HttpError::Kind::cancelled);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(HttpClientTest, AnOversizedBodyIsRefused) {
    HttpClient capped{HttpClientOptions{.extraCAFile = certs.caFile.string(), .maxBodyBytes = 1024}};
    server.enqueue(ScriptedReply::json(200, std::string(1025, 'x')));
    EXPECT_EQ(failureKind({.url = server.url()}, &capped), HttpError::Kind::tooLarge);
    server.enqueue(ScriptedReply::json(200, std::string(1024, 'x')));
    EXPECT_EQ(runToCompletion(capped.send({.url = server.url()})).body.size(), 1024u);
}

TEST_F(HttpClientTest, StreamsLinesAsTheyArriveWhateverTheChunking) {
    ScriptedReply stream;
    stream.headers = {{"Content-Type", "application/json"}};
    stream.chunks = {{0ms, "{\"up\":1,"}, {20ms, "\"down\":2}\n{\"up\":3"}, {20ms, ",\"down\":4}\r\n\n"}, {0ms, "tail"}};
    server.enqueue(stream);
    auto lines = runToCompletion([&]() -> Async<std::vector<std::string>> {
        HttpRequest r{.url = server.url("/traffic")};
        auto s = co_await client.openStream(std::move(r));
        EXPECT_EQ(s.status(), 200);
        std::vector<std::string> out;
        while (auto line = co_await s.nextLine()) out.push_back(*line);
        co_return out;
    }());
    EXPECT_EQ(lines, (std::vector<std::string>{R"({"up":1,"down":2})", R"({"up":3,"down":4})", "", "tail"}));
}

TEST_F(HttpClientTest, AStreamEndsWhenItsTaskIsCancelled) {
    ScriptedReply endless;
    endless.chunks = {{0ms, "first\n"}};
    endless.endStream = false;
    server.enqueue(endless);
    asio::io_context io;
    std::vector<std::string> seen;
    bool aborted = false;
    auto reader = [&]() -> Async<void> {
        HttpRequest r{.url = server.url("/traffic")};
        auto s = co_await client.openStream(std::move(r));
        try {
            while (auto line = co_await s.nextLine()) seen.push_back(*line);
        } catch (const HttpError& e) {
            aborted = e.kind() == HttpError::Kind::cancelled;
        }
    };
    auto task = spawnTask(io.get_executor(), reader());
    asio::steady_timer later(io, 200ms);
    later.async_wait([&](auto) { task.cancel(); });
    io.run();
    EXPECT_EQ(seen, std::vector<std::string>{"first"});
    EXPECT_TRUE(aborted);
}
