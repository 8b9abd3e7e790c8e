// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Panel/PanelClient.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include "CorvaneCore/Support/HttpClient.hpp"
#include "CorvaneCore/Support/Text.hpp"

namespace corvane {

namespace {

std::string lowercased(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

std::string canonicalPanelURL(std::string_view text) {
    std::string_view t = trimWhitespace(text);
    while (!t.empty() && t.back() == '/') t.remove_suffix(1);
    // Scheme, host, path and query are all compared without regard to case, so the
    // whole address is lower-cased whether or not it parses as a URL.
    return lowercased(std::string(t));
}

PanelClient::PanelClient(std::string baseURL, std::optional<std::string> token, HttpClient* session)
    : session_(session ? session : &HttpClient::shared()), baseURL_(std::move(baseURL)), token_(std::move(token)) {}

namespace {

constexpr int maxRedirects = 5;

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Scheme, host and port: what a bearer token is bound to.
struct Origin {
    std::string scheme;
    std::string host;
    std::uint16_t port = 0;
    bool operator==(const Origin&) const = default;
};

// Nothing when `url` is not an absolute http(s) URL with a host and a usable port.
std::optional<Origin> originOf(const boost::urls::url_view& url) {
    const bool tls = url.scheme_id() == boost::urls::scheme::https;
    if (!tls && url.scheme_id() != boost::urls::scheme::http) return std::nullopt;
    if (!url.has_authority() || url.encoded_host().empty()) return std::nullopt;
    auto port = parsePort(url.has_port() ? std::string_view(url.port()) : std::string_view(), tls ? 443 : 80);
    if (!port) return std::nullopt;
    return Origin{tls ? "https" : "http", lowercased(std::string(url.encoded_host())), *port};
}

// `reference` resolved against `base`; nothing unless the result is a usable http(s) URL.
std::optional<boost::urls::url> resolveURL(std::string_view base, std::string_view reference) {
    auto parsedBase = boost::urls::parse_uri(base);
    auto parsedReference = boost::urls::parse_uri_reference(reference);
    if (!parsedBase || !parsedReference) return std::nullopt;
    boost::urls::url resolved;
    if (!boost::urls::resolve(*parsedBase, *parsedReference, resolved)) return std::nullopt;
    if (!originOf(resolved)) return std::nullopt;
    return resolved;
}

std::chrono::milliseconds requestTimeout(std::optional<double> seconds) {
    double s = seconds.value_or(PanelClient::defaultTimeoutSeconds);
    if (std::isnan(s)) s = PanelClient::defaultTimeoutSeconds;
    s = std::clamp(s, 0.0, 1e9);  // beyond any wait that matters, and within what a duration holds
    return std::chrono::milliseconds(static_cast<std::int64_t>(s * 1000.0));
}

}  // namespace

Async<std::string> PanelClient::performRaw(std::string method, std::string path, bool authenticated,
                                           std::optional<std::string> body, std::optional<double> timeoutSeconds) {
    // Build the whole request before the first suspension, so later setter calls don't change it.
    auto resolved = boost::urls::parse_relative_ref(path) ? resolveURL(baseURL_, path) : std::nullopt;
    if (!resolved) throw PanelError::malformedResponse("bad path " + path);
    boost::urls::url url = std::move(*resolved);
    const Origin origin = *originOf(url);
    std::optional<std::string> authorization;
    if (authenticated) {
        if (!token_) throw PanelError::unauthorized();
        authorization = "Bearer " + *token_;
    }
    const auto deadline = std::chrono::steady_clock::now() + requestTimeout(timeoutSeconds);

    HttpResponse response;
    for (int redirects = 0;; ++redirects) {
        HttpRequest request;
        request.url = std::string(url.buffer());
        request.method = method;
        request.headers.push_back({"Accept", "application/json"});
        // The token is the panel's: a redirect to another host must not carry it there.
        if (authorization && originOf(url) == origin) {
            request.headers.push_back({"Authorization", *authorization});
        }
        if (body) {
            request.headers.push_back({"Content-Type", "application/json"});
            request.body = *body;
        }
        // One time limit for the whole exchange, redirects included.
        request.timeout = std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                     deadline - std::chrono::steady_clock::now()));

        bool transportFailed = false;
        std::string tlsFailure;
        try {
            response = co_await session_->send(std::move(request));
        } catch (const HttpError& e) {
            transportFailed = true;
            if (e.kind() == HttpError::Kind::tls) tlsFailure = e.what();
        } catch (const std::exception&) {  // whatever else the transport may throw
            transportFailed = true;
        }
        if (!tlsFailure.empty()) throw PanelError::untrustedServer(tlsFailure);
        if (transportFailed) throw PanelError::transientServer();

        const std::string* location = response.header("Location");
        if (!isRedirect(response.status) || !location) break;
        if (redirects == maxRedirects) throw PanelError::malformedResponse("too many redirects");
        auto next = resolveURL(url.buffer(), *location);
        if (!next) throw PanelError::malformedResponse("bad redirect to " + *location);
        if (next->scheme_id() != boost::urls::scheme::https) {
            throw PanelError::malformedResponse("refused a redirect to a non-https address: " + std::string(next->buffer()));
        }
        url = std::move(*next);
        // 307 and 308 repeat the request as it was; the others continue with a plain GET.
        if (response.status != 307 && response.status != 308 && method != "GET" && method != "HEAD") {
            method = "GET";
            body.reset();
        }
    }

    if (response.status >= 200 && response.status <= 299) co_return std::move(response.body);

    std::optional<PanelErrorResponse> refusal;
    try {
        refusal = decodeJSON<PanelErrorResponse>(std::string_view(response.body));
    } catch (const std::exception&) {
    }
    if (response.status == 401 || response.status == 403) throw PanelError::unauthorized();
    if (response.status >= 400 && response.status <= 499) {
        if (refusal) throw PanelError::rejected(response.status, refusal->error, refusal->message);
        throw PanelError::rejected(response.status);
    }
    throw PanelError::transientServer(response.status);
}

Async<LoginResponse> PanelClient::login(std::string email, std::string password, std::optional<std::string> deviceName) {
    LoginRequest body{std::move(email), std::move(password), std::move(deviceName)};
    co_return co_await perform<LoginResponse>("POST", "api/client/auth/login", false, encodeJSON(body));
}

Async<std::vector<ServerListEntry>> PanelClient::servers(std::optional<double> timeout) {
    auto list = co_await serverList(timeout);
    co_return std::move(list.servers);
}

Async<ServerListResponse> PanelClient::serverList(std::optional<double> timeout) {
    co_return co_await perform<ServerListResponse>("GET", "api/client/servers?capabilities=exit-v1", true, {}, timeout);
}

Async<void> PanelClient::selectMeteredExit(std::int64_t id, bool fallback) {
    co_await perform<Reply>("POST", "api/client/exit-selection", true, encodeJSON(Selection{id, fallback}));
}

Async<VersionResponse> PanelClient::version(std::string platform) {
    co_return co_await perform<VersionResponse>("GET", "api/client/version?platform=" + platform, true);
}

}  // namespace corvane
