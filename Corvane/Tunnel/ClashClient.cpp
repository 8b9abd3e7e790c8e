// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Tunnel/ClashClient.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <unistd.h>
#include <pcre2.h>

#include <algorithm>
#include <charconv>

#include <boost/asio/this_coro.hpp>
#include <boost/json/object.hpp>
#include <boost/url/encode.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>

#include "CorvaneCore/Support/HttpClient.hpp"

namespace corvane {

using namespace std::chrono_literals;

namespace {

constexpr auto kControlTimeout = 6s;
constexpr auto kGroupTestTimeout = 10s;
constexpr auto kProbeTimeout = 8s;
constexpr auto kTrafficTimeout = 3600s;
// How long the engine gives each latency test.
constexpr std::string_view kEngineTestTimeoutMs = "5000";

// The connection listing, as far as closing connections needs it.
struct ConnectionEntry {
    static constexpr std::string_view recordName = "ClashClient.Connection";
    std::string id;
    std::vector<std::string> chains;  // the outbound tags the connection passes through

    static ConnectionEntry decode(const RecordDecoder& d) {
        return {d.required<std::string>("id"), d.required<std::vector<std::string>>("chains")};
    }
    void encode(RecordEncoder& e) const {
        e.set("id", id);
        e.set("chains", chains);
    }
};

struct ConnectionListing {
    static constexpr std::string_view recordName = "ClashClient.ConnectionListing";
    std::optional<std::vector<ConnectionEntry>> connections;

    static ConnectionListing decode(const RecordDecoder& d) {
        return {d.optional<std::vector<ConnectionEntry>>("connections")};
    }
    void encode(RecordEncoder& e) const { e.setOptional("connections", connections); }
};

struct TotalsBody {
    static constexpr std::string_view recordName = "ClashClient.Totals";
    std::int64_t uploadTotal = 0;
    std::int64_t downloadTotal = 0;

    static TotalsBody decode(const RecordDecoder& d) {
        return {d.required<std::int64_t>("uploadTotal"), d.required<std::int64_t>("downloadTotal")};
    }
    void encode(RecordEncoder& e) const {
        e.set("uploadTotal", uploadTotal);
        e.set("downloadTotal", downloadTotal);
    }
};

// A URL as a query value: everything but the unreserved characters escaped.
std::string encodeQueryValue(std::string_view text) { return boost::urls::encode(text, boost::urls::unreserved_chars); }

// Non-ASCII bytes of a path segment escaped, and "%" so that the result reads back the same; the rest as it is.
struct ASCIIChars {
    constexpr bool operator()(char c) const noexcept { return static_cast<unsigned char>(c) < 0x80 && c != '%'; }
};
std::string escapeNonASCII(std::string_view text) { return boost::urls::encode(text, ASCIIChars{}); }

// Connection ids go into a URL path: only letters, numbers, "-" and "_" (any
// script) may. An empty id would name the whole collection, so it is refused too.
bool isSafeConnectionId(const std::string& id) {
    struct Pattern {
        pcre2_code* code = nullptr;
        Pattern() {
            int error = 0;
            PCRE2_SIZE offset = 0;
            code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(R"(\A[\p{L}\p{N}_-]+\z)"), PCRE2_ZERO_TERMINATED,
                                 PCRE2_UTF | PCRE2_UCP, &error, &offset, nullptr);
        }
        ~Pattern() { pcre2_code_free(code); }
    };
    static const Pattern pattern;
    if (!pattern.code || id.empty()) return false;
    pcre2_match_data* match = pcre2_match_data_create_from_pattern(pattern.code, nullptr);
    if (!match) return false;
    int rc = pcre2_match(pattern.code, reinterpret_cast<PCRE2_SPTR>(id.data()), id.size(), 0, 0, match, nullptr);
    pcre2_match_data_free(match);
    return rc > 0;  // invalid UTF-8 is an error, so it never passes
}

}  // namespace

ClashClient::Proxy::Delay ClashClient::Proxy::Delay::decode(const RecordDecoder& d) {
    return {.delay = d.required<std::int64_t>("delay"), .time = d.optional<std::string>("time")};
}

void ClashClient::Proxy::Delay::encode(RecordEncoder& e) const {
    e.set("delay", delay);
    e.setOptional("time", time);
}

// "2026-12-10T15:57:33.123456789+01:00" or "…Z": how the engine writes times.
std::optional<std::chrono::system_clock::time_point> ClashClient::Proxy::Delay::measuredAt() const {
    using namespace std::chrono;
    if (!time) return std::nullopt;
    const std::string_view t = *time;
    auto field = [&](std::size_t at, std::size_t width, int& out) {
        if (at + width > t.size()) return false;
        for (std::size_t i = at; i < at + width; ++i) {
            if (t[i] < '0' || t[i] > '9') return false;
        }
        std::from_chars(t.data() + at, t.data() + at + width, out);
        return true;
    };
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (t.size() < 20 || t[4] != '-' || t[7] != '-' || (t[10] != 'T' && t[10] != 't') || t[13] != ':' ||
        t[16] != ':' || !field(0, 4, y) || !field(5, 2, mo) || !field(8, 2, d) || !field(11, 2, h) ||
        !field(14, 2, mi) || !field(17, 2, s) || h > 23 || mi > 59 || s > 60) {
        return std::nullopt;
    }
    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!date.ok()) return std::nullopt;
    std::size_t at = 19;
    nanoseconds fraction{0};
    if (t[at] == '.') {
        std::int64_t scale = 100'000'000;
        for (++at; at < t.size() && t[at] >= '0' && t[at] <= '9'; ++at, scale /= 10) {
            fraction += nanoseconds((t[at] - '0') * scale);
        }
    }
    minutes offset{0};
    if (at < t.size() && (t[at] == 'Z' || t[at] == 'z')) {
        ++at;
    } else if (at < t.size() && (t[at] == '+' || t[at] == '-')) {
        int oh = 0, om = 0;
        if (!field(at + 1, 2, oh) || at + 3 >= t.size() || t[at + 3] != ':' || !field(at + 4, 2, om)) {
            return std::nullopt;
        }
        offset = (t[at] == '-' ? -1 : 1) * (hours(oh) + minutes(om));
        at += 6;
    } else {
        return std::nullopt;
    }
    if (at != t.size()) return std::nullopt;
    const auto utc = sys_days(date) + hours(h) + minutes(mi) + seconds(s) + fraction - offset;
    return time_point_cast<system_clock::duration>(utc);
}

ClashClient::Proxy ClashClient::Proxy::decode(const RecordDecoder& d) {
    return {.now = d.optional<std::string>("now"), .history = d.optional<std::vector<Delay>>("history")};
}

void ClashClient::Proxy::encode(RecordEncoder& e) const {
    e.setOptional("now", now);
    e.setOptional("history", history);
}

ClashClient::ProxiesResponse ClashClient::ProxiesResponse::decode(const RecordDecoder& d) {
    return {.proxies = d.required<std::map<std::string, Proxy>>("proxies")};
}

void ClashClient::ProxiesResponse::encode(RecordEncoder& e) const { e.set("proxies", proxies); }

ClashClient::Traffic ClashClient::Traffic::decode(const RecordDecoder& d) {
    return {.up = d.required<std::int64_t>("up"), .down = d.required<std::int64_t>("down")};
}

void ClashClient::Traffic::encode(RecordEncoder& e) const {
    e.set("up", up);
    e.set("down", down);
}

ClashClient::ClashError::ClashError(int status) : status_(status) {
    description_ = status == 0 ? "The engine's control API did not answer with an HTTP response."
                               : "The engine's control API answered with HTTP status " + std::to_string(status) + ".";
}

ClashClient::ClashError ClashClient::ClashError::http(int status) { return ClashError(status); }

ClashClient::ClashClient(std::int64_t port, std::string secret) : ClashClient(port, std::move(secret), Endpoints{}) {}

ClashClient::ClashClient(std::int64_t port, std::string secret, Endpoints endpoints, HttpClient* http,
                         std::optional<std::uint32_t> owner)
    : port_(port),
      secret_(std::move(secret)),
      owner_(owner.value_or(static_cast<std::uint32_t>(::getuid()))),
      endpoints_(std::move(endpoints)),
      http_(http) {}

std::string ClashClient::url(std::string_view pathAndQuery) const {
    std::string u = "http://127.0.0.1:" + std::to_string(port_);
    u += pathAndQuery;
    return u;
}

HttpClient& ClashClient::http() const { return http_ ? *http_ : HttpClient::shared(); }

namespace {

HttpRequest controlRequest(std::string method, std::string url, const std::string& secret, std::uint32_t owner,
                           std::chrono::milliseconds timeout) {
    HttpRequest request;
    request.loopbackListenerUID = owner;
    request.method = std::move(method);
    request.url = std::move(url);
    request.headers.push_back({"Authorization", "Bearer " + secret});
    request.timeout = timeout;
    return request;
}

}  // namespace

Async<void> ClashClient::setSelector(std::string group, std::string choice) const {
    return runSetSelector(*this, std::move(group), std::move(choice));
}

Async<void> ClashClient::runSetSelector(ClashClient self, std::string group, std::string choice) {
    boost::json::object body;
    body["name"] = choice;
    HttpRequest request = controlRequest("PUT", self.url("/proxies/" + group), self.secret_, self.owner_, kControlTimeout);
    request.headers.push_back({"Content-Type", "application/json"});
    request.body = encodeJSONValue(body);
    HttpResponse response = co_await self.http().send(std::move(request));
    if (response.status < 200 || response.status > 299) throw ClashError::http(response.status);
}

Async<ClashClient::ProxiesResponse> ClashClient::proxies() const { return runProxies(*this); }

Async<ClashClient::ProxiesResponse> ClashClient::runProxies(ClashClient self) {
    HttpRequest request = controlRequest("GET", self.url("/proxies"), self.secret_, self.owner_, kControlTimeout);
    HttpResponse response = co_await self.http().send(std::move(request));
    if (response.status != 200) throw ClashError::http(response.status);
    co_return decodeJSON<ProxiesResponse>(std::string_view(response.body));
}

Async<std::optional<ClashClient::Totals>> ClashClient::totals() const { return runTotals(*this); }

Async<std::optional<ClashClient::Totals>> ClashClient::runTotals(ClashClient self) {
    try {
        HttpRequest request = controlRequest("GET", self.url("/connections"), self.secret_, self.owner_, kControlTimeout);
        HttpResponse response = co_await self.http().send(std::move(request));
        if (response.status != 200) co_return std::nullopt;
        auto body = decodeJSON<TotalsBody>(std::string_view(response.body));
        co_return Totals{.up = body.uploadTotal, .down = body.downloadTotal};
    } catch (const std::exception&) {
    }
    co_return std::nullopt;
}

Async<std::int64_t> ClashClient::closeConnections(std::string tag) const {
    return runCloseConnections(*this, std::move(tag));
}

Async<std::int64_t> ClashClient::runCloseConnections(ClashClient self, std::string tag) {
    std::vector<ConnectionEntry> connections;
    try {
        HttpRequest request = controlRequest("GET", self.url("/connections"), self.secret_, self.owner_, kControlTimeout);
        HttpResponse response = co_await self.http().send(std::move(request));
        if (response.status != 200) co_return 0;
        connections = decodeJSON<ConnectionListing>(std::string_view(response.body)).connections.value_or(
            std::vector<ConnectionEntry>{});
    } catch (const std::exception&) {
        co_return 0;
    }

    std::int64_t closed = 0;
    for (const auto& connection : connections) {
        if (std::find(connection.chains.begin(), connection.chains.end(), tag) == connection.chains.end()) continue;
        if (!isSafeConnectionId(connection.id)) continue;
        try {
            HttpRequest request =
                controlRequest("DELETE", self.url("/connections/" + escapeNonASCII(connection.id)), self.secret_, self.owner_, kControlTimeout);
            HttpResponse response = co_await self.http().send(std::move(request));
            if (response.status >= 200 && response.status <= 299) ++closed;
        } catch (const std::exception&) {
        }
    }
    co_return closed;
}

Async<void> ClashClient::testGroup() const { return runTestGroup(*this); }

Async<void> ClashClient::runTestGroup(ClashClient self) {
    try {
        std::string path = "/group/" + std::string(urlTestGroup) + "/delay?url=" +
                           encodeQueryValue(self.endpoints_.groupTestURL) + "&timeout=" + std::string(kEngineTestTimeoutMs);
        HttpRequest request = controlRequest("GET", self.url(path), self.secret_, self.owner_, kGroupTestTimeout);
        co_await self.http().send(std::move(request));
    } catch (const std::exception&) {
    }
}

Async<bool> ClashClient::probe(std::string name) const { return runProbe(*this, std::move(name)); }

Async<bool> ClashClient::runProbe(ClashClient self, std::string name) {
    for (const auto& target : self.endpoints_.probeURLs) {
        // Read the state directly: awaiting another coroutine in a cancelled task would throw instead.
        auto state = co_await boost::asio::this_coro::cancellation_state;
        if (state.cancelled() != boost::asio::cancellation_type::none) co_return false;
        try {
            std::string path = "/proxies/" + name + "/delay?url=" + encodeQueryValue(target) +
                               "&timeout=" + std::string(kEngineTestTimeoutMs);
            HttpRequest request = controlRequest("GET", self.url(path), self.secret_, self.owner_, kProbeTimeout);
            HttpResponse response = co_await self.http().send(std::move(request));
            if (response.status == 200) co_return true;
        } catch (const std::exception&) {
        }
    }
    co_return false;
}

ClashClient::TrafficStream::TrafficStream(const ClashClient& client) : client_(std::make_unique<ClashClient>(client)) {}
ClashClient::TrafficStream::~TrafficStream() = default;
ClashClient::TrafficStream::TrafficStream(TrafficStream&&) noexcept = default;
ClashClient::TrafficStream& ClashClient::TrafficStream::operator=(TrafficStream&&) noexcept = default;

Async<std::optional<ClashClient::Traffic>> ClashClient::TrafficStream::next() {
    if (ended_) co_return std::nullopt;
    if (!stream_) {
        // The status is not examined: an error answer yields no samples and ends.
        HttpRequest request = controlRequest("GET", client_->url("/traffic"), client_->secret_, client_->owner_, kTrafficTimeout);
        stream_ = std::make_unique<HttpLineStream>(co_await client_->http().openStream(std::move(request)));
    }
    for (;;) {
        std::optional<std::string> line = co_await stream_->nextLine();
        if (!line) {
            ended_ = true;
            stream_.reset();
            co_return std::nullopt;
        }
        if (line->empty()) continue;
        try {
            co_return decodeJSON<Traffic>(std::string_view(*line));
        } catch (const DecodingError&) {
        }
    }
}

}  // namespace corvane
