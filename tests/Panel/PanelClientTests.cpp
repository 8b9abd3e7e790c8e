// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <chrono>
#include <limits>

#include "CorvaneCore/Panel/PanelClient.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"
#include "TestSupport/PanelOnLoopback.hpp"
#include "tools/fleet/TempDir.hpp"
#include "tools/fleet/HttpServer.hpp"

namespace corvane {
// Failures read as their text.
void PrintTo(const PanelError& e, std::ostream* os) { *os << e.description(); }
}  // namespace corvane

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;
using namespace std::chrono_literals;

namespace {

const char* kVersion = R"({"platform":"linux-x86_64","version":"1.5.0","sha256":"ab","filename":"c.deb",)"
                       R"("size_bytes":123,"download_url":"https://x/c.deb","uploaded_at":"2026-12-01"})";

class PanelClientTest : public ::testing::Test, protected PanelOnLoopback {
protected:

    template <class T>
    PanelError failure(Async<T> call) {
        try {
            runToCompletion(std::move(call));
        } catch (const PanelError& e) {
            return e;
        }
        ADD_FAILURE() << "the call succeeded";
        return PanelError::malformedResponse("none");
    }
};

}  // namespace

TEST_F(PanelClientTest, SignInSendsTheCredentialsWithoutAToken) {
    panel.enqueue(ScriptedReply::json(200, R"({"token":"jwt","expiresAt":"2027-01-01T00:00:00Z"})"));
    auto reply = runToCompletion(client.login("a@b.c", "pw", "laptop"));
    EXPECT_EQ(reply, (LoginResponse{"jwt", "2027-01-01T00:00:00Z"}));
    EXPECT_EQ(client.token(), "tok");  // the caller decides what to keep

    auto r = panel.requests().at(0);
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/api/client/auth/login");
    EXPECT_EQ(r.header("Accept"), "application/json");
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_EQ(r.header("Authorization"), std::nullopt);
    EXPECT_EQ(r.body, R"({"email":"a@b.c","password":"pw","deviceName":"laptop"})");
}

TEST_F(PanelClientTest, AuthenticatedCallsCarryTheBearerToken) {
    panel.enqueue(ScriptedReply::json(200, R"({"servers":[{"vps_id":1,"name":"n","public_ip":"203.0.113.1",)"
                                           R"("hysteria2_url":"h","reality_url":"r","config_version":2}]})"));
    panel.enqueue(ScriptedReply::json(200, R"({"ok":true})"));
    panel.enqueue(ScriptedReply::json(200, kVersion));
    auto servers = runToCompletion(client.servers());
    ASSERT_EQ(servers.size(), 1u);
    EXPECT_EQ(servers[0].configVersion, 2);
    runToCompletion(client.selectMeteredExit(10, true));
    auto version = runToCompletion(client.version("linux-x86_64"));
    EXPECT_EQ(version.sizeBytes, 123);
    EXPECT_EQ(version.minRequiredVersion, std::nullopt);

    auto rs = panel.requests();
    ASSERT_EQ(rs.size(), 3u);
    EXPECT_EQ(rs[0].target, "/api/client/servers?capabilities=exit-v1");
    EXPECT_EQ(rs[0].method, "GET");
    EXPECT_EQ(rs[1].target, "/api/client/exit-selection");
    EXPECT_EQ(rs[1].body, R"({"exit_id":10,"fallback_on_exhaustion":true})");
    EXPECT_EQ(rs[2].target, "/api/client/version?platform=linux-x86_64");
    for (const auto& r : rs) EXPECT_EQ(r.header("Authorization"), "Bearer tok") << r.target;
}

TEST_F(PanelClientTest, WithoutATokenNothingIsSent) {
    client.setToken(std::nullopt);
    EXPECT_EQ(failure(client.serverList()), PanelError::unauthorized());
    EXPECT_EQ(failure(client.version("linux-x86_64")), PanelError::unauthorized());
    EXPECT_EQ(panel.requestCount(), 0u);
}

TEST_F(PanelClientTest, RefusalsAreClassified) {
    struct Case { int status; std::string body; PanelError error; const char* description; };
    const Case cases[] = {
        {401, R"({"error":"expired"})", PanelError::unauthorized(), "panel rejected the token \u2014 sign in again"},
        {403, "", PanelError::unauthorized(), "panel rejected the token \u2014 sign in again"},
        {403, R"({"error":"forbidden","message":"account suspended"})", PanelError::unauthorized(),
         "panel rejected the token \u2014 sign in again"},
        {404, R"({"error":"not_found"})", PanelError::rejected(404, "not_found"), "panel refused the request (404 not_found)"},
        {404, "<html>Not Found</html>", PanelError::rejected(404), "panel refused the request (404)"},
        {422, R"({"error":"invalid","message":"bad email"})", PanelError::rejected(422, "invalid", "bad email"),
         "panel refused the request (422 invalid): bad email"},
        {502, "<html>Bad Gateway</html>", PanelError::transientServer(502), "panel unavailable (502)"},
        {200, R"({"servers":"none"})",
         PanelError::malformedResponse("could not decode ServerListResponse: servers: expected an array, found a string"),
         "panel sent an unexpected response: could not decode ServerListResponse: servers: expected an array, found a string"},
    };
    for (const auto& c : cases) {
        panel.enqueue(ScriptedReply::json(c.status, c.body));
        auto e = failure(client.serverList());
        EXPECT_EQ(e, c.error) << c.status << " " << c.body;
        EXPECT_EQ(e.description(), c.description);
        EXPECT_EQ(e.isRetryable(), c.status == 502);
    }
}

TEST_F(PanelClientTest, RepliesThatAreNotTheRecordNameIt) {
    panel.enqueue(ScriptedReply::json(200, R"({"ok":"yes"})"));
    EXPECT_EQ(failure(client.selectMeteredExit(1, false)).description(),
              "panel sent an unexpected response: could not decode Reply: ok: expected a boolean, found a string");
    panel.enqueue(ScriptedReply::json(200, R"({"platform":"p","version":"1","filename":"f","size_bytes":1,"download_url":"d","uploaded_at":"u"})"));
    EXPECT_EQ(failure(client.version("p")).text(), "could not decode VersionResponse: sha256: missing required key");
    panel.enqueue(ScriptedReply::json(200, R"({"token":"t"})"));
    EXPECT_EQ(failure(client.login("a", "b")).text(), "could not decode LoginResponse: expiresAt: missing required key");
}

TEST_F(PanelClientTest, TransportFailuresAreTransient) {
    PanelClient closed{"https://127.0.0.1:1/", std::string("tok"), &http};
    auto e = failure(closed.serverList());
    EXPECT_EQ(e, PanelError::transientServer());
    EXPECT_EQ(e.description(), "panel unavailable");
    EXPECT_TRUE(e.isRetryable());

    // A server whose certificate names another host is not the panel.
    TempDir otherDir;
    auto other = Certificates::make(otherDir.path(), {"panel.example.com"});
    HttpServer impostor{other};
    HttpClient trustsOther{HttpClientOptions{.extraCAFile = other.caFile.string()}};
    PanelClient fooled{impostor.url("/"), std::string("tok"), &trustsOther};
    auto untrusted = failure(fooled.serverList());
    EXPECT_EQ(untrusted.kind(), PanelError::Case::transientServer);
    EXPECT_TRUE(untrusted.description().starts_with("panel unavailable: TLS handshake with 127.0.0.1:"))
        << untrusted.description();
    EXPECT_NE(untrusted.description().find("certificate verify failed"), std::string::npos) << untrusted.description();
    EXPECT_EQ(impostor.requestCount(), 0u);
}

TEST_F(PanelClientTest, APerCallTimeoutWins) {
    ScriptedReply slow = ScriptedReply::json(200, R"({"servers":[]})");
    slow.delay = 600ms;
    panel.enqueue(slow);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(client.serverList(0.2)), PanelError::transientServer());
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 190ms);
    EXPECT_LT(elapsed, 590ms);

    panel.enqueue(slow);  // the usual 60 seconds are plenty
    EXPECT_TRUE(runToCompletion(client.serverList()).servers.empty());

    // Timeouts beyond any wait that matters, or not a number, are no timeout at all.
    for (double seconds : {1e300, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        panel.enqueue(ScriptedReply::json(200, R"({"servers":[]})"));
        EXPECT_TRUE(runToCompletion(client.serverList(seconds)).servers.empty()) << seconds;
    }
}

TEST_F(PanelClientTest, PathsResolveAgainstTheBaseURL) {
    struct Case { std::string base; const char* target; };
    const Case cases[] = {
        {panel.url(""), "/api/client/version?platform=x"},
        {panel.url("/panel"), "/api/client/version?platform=x"},     // the last segment is replaced
        {panel.url("/panel/"), "/panel/api/client/version?platform=x"},
    };
    for (const auto& c : cases) {
        client.setBaseURL(c.base);
        panel.enqueue(ScriptedReply::json(200, kVersion));
        runToCompletion(client.version("x"));
        EXPECT_EQ(panel.requests().back().target, c.target) << c.base;
    }
    client.setBaseURL("not a url");
    EXPECT_EQ(failure(client.version("x")).text(), "bad path api/client/version?platform=x");
    client.setBaseURL(panel.url("/"));
    EXPECT_EQ(failure(client.version("has space")).text(), "bad path api/client/version?platform=has space");
}

TEST_F(PanelClientTest, AnInvalidPortFailsBeforeAnythingIsSent) {
    // 65536 + the panel's port would reach the panel itself if taken modulo 65536.
    for (const std::string& port : {std::to_string(65536 + panel.port()), std::string("99999999999999999999999")}) {
        client.setBaseURL("https://127.0.0.1:" + port + "/");
        const auto e = failure(client.serverList());
        EXPECT_EQ(e, PanelError::malformedResponse("bad path api/client/servers?capabilities=exit-v1")) << port;
        EXPECT_FALSE(e.isRetryable());
    }
    EXPECT_EQ(panel.requestCount(), 0u);
}

namespace {

ScriptedReply redirect(int status, std::string location) {
    ScriptedReply reply;
    reply.status = status;
    reply.headers = {{"Location", std::move(location)}};
    return reply;
}

}  // namespace

// A panel moved behind a redirect, as operators often set it up.
TEST_F(PanelClientTest, FollowsRedirectsKeepingTheRequestWhereTheStatusSaysSo) {
    struct Case { int status; const char* method; bool keepsBody; };
    const Case cases[] = {{301, "GET", false}, {302, "GET", false}, {303, "GET", false}, {307, "POST", true}, {308, "POST", true}};
    for (const auto& c : cases) {
        panel.enqueue(redirect(c.status, panel.url("/moved/api/client/exit-selection")));
        panel.enqueue(ScriptedReply::json(200, R"({"ok":true})"));
        runToCompletion(client.selectMeteredExit(10, true));
        const auto requests = panel.requests();
        const auto& second = requests.back();
        EXPECT_EQ(second.target, "/moved/api/client/exit-selection") << c.status;
        EXPECT_EQ(second.method, c.method) << c.status;
        EXPECT_EQ(second.body, c.keepsBody ? R"({"exit_id":10,"fallback_on_exhaustion":true})" : "") << c.status;
        EXPECT_EQ(second.header("Content-Type").has_value(), c.keepsBody) << c.status;
        EXPECT_EQ(second.header("Authorization"), "Bearer tok") << c.status;
    }

    // A relative location resolves against the address that sent it; a GET stays a GET.
    panel.enqueue(redirect(301, "panel/api/client/version?platform=x"));
    panel.enqueue(ScriptedReply::json(200, kVersion));
    EXPECT_EQ(runToCompletion(client.version("x")).version, "1.5.0");
    EXPECT_EQ(panel.requests().back().target, "/api/client/panel/api/client/version?platform=x");
    EXPECT_EQ(panel.requests().back().method, "GET");
}

TEST_F(PanelClientTest, TheTokenGoesOnlyToThePanelsOwnOrigin) {
    // Another port is another origin.
    HttpServer other{certs};
    panel.enqueue(redirect(307, other.url("/elsewhere")));
    other.enqueue(redirect(307, panel.url("/back")));
    panel.enqueue(ScriptedReply::json(200, R"({"servers":[]})"));
    EXPECT_TRUE(runToCompletion(client.serverList()).servers.empty());
    ASSERT_EQ(other.requestCount(), 1u);
    EXPECT_EQ(other.requests()[0].header("Authorization"), std::nullopt);
    EXPECT_EQ(other.requests()[0].header("Accept"), "application/json");
    ASSERT_EQ(panel.requestCount(), 2u);
    EXPECT_EQ(panel.requests()[1].target, "/back");
    EXPECT_EQ(panel.requests()[1].header("Authorization"), "Bearer tok");

    // "localhost" names the same machine, but not the same origin.
    panel.enqueue(redirect(302, "https://localhost:" + std::to_string(panel.port()) + "/named"));
    panel.enqueue(ScriptedReply::json(200, R"({"servers":[]})"));
    runToCompletion(client.serverList());
    EXPECT_EQ(panel.requests().back().target, "/named");
    EXPECT_EQ(panel.requests().back().header("Authorization"), std::nullopt);
}

TEST_F(PanelClientTest, RedirectsThatWouldLeaveHttpsOrNeverEndAreRefused) {
    HttpServer plain;
    panel.enqueue(redirect(301, plain.url("/api/client/servers")));
    auto e = failure(client.serverList());
    EXPECT_EQ(e.kind(), PanelError::Case::malformedResponse);
    EXPECT_EQ(e.text(), "refused a redirect to a non-https address: " + plain.url("/api/client/servers"));
    EXPECT_EQ(plain.requestCount(), 0u);

    panel.setHandler([this](const RecordedRequest&) { return redirect(302, panel.url("/again")); });
    const auto before = panel.requestCount();
    EXPECT_EQ(failure(client.serverList()), PanelError::malformedResponse("too many redirects"));
    EXPECT_EQ(panel.requestCount() - before, 6u) << "the request and five redirects";

    // A redirect without a location is just a status.
    panel.setHandler([](const RecordedRequest&) { return ScriptedReply::json(301, ""); });
    EXPECT_EQ(failure(client.serverList()), PanelError::transientServer(301));
}

TEST(CanonicalPanelURL, IgnoresCaseSpaceAndTrailingSlashes) {
    EXPECT_EQ(canonicalPanelURL("  HTTPS://Panel.Example.COM/Base// \n"), "https://panel.example.com/base");
    EXPECT_EQ(canonicalPanelURL("https://panel.example.com"), canonicalPanelURL("https://PANEL.example.com///"));
    EXPECT_EQ(canonicalPanelURL("Not A URL/"), "not a url");
}
