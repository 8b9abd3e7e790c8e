#include "CorvaneCore/Panel/PanelClient.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>

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

Async<std::string> PanelClient::performRaw(std::string method, std::string path, bool authenticated,
                                           std::optional<std::string> body, std::optional<double> timeoutSeconds) {
    // Build the whole request before the first suspension, so later setter calls don't change it.
    HttpRequest request;
    {
        boost::urls::url resolved;
        auto base = boost::urls::parse_uri(baseURL_);
        auto reference = boost::urls::parse_relative_ref(path);
        if (!base || !reference || !boost::urls::resolve(*base, *reference, resolved)) {
            throw PanelError::malformedResponse("bad path " + path);
        }
        request.url = std::string(resolved.buffer());
    }
    request.method = std::move(method);
    const double seconds = timeoutSeconds.value_or(defaultTimeoutSeconds);
    request.timeout = std::chrono::milliseconds(static_cast<std::int64_t>(std::max(0.0, seconds) * 1000.0));
    request.headers.push_back({"Accept", "application/json"});
    if (authenticated) {
        if (!token_) throw PanelError::unauthorized();
        request.headers.push_back({"Authorization", "Bearer " + *token_});
    }
    if (body) {
        request.headers.push_back({"Content-Type", "application/json"});
        request.body = std::move(*body);
    }

    HttpResponse response;
    bool transportFailed = false;
    try {
        response = co_await session_->send(std::move(request));
    } catch (const HttpError&) {
        transportFailed = true;
    }
    if (transportFailed) throw PanelError::transientServer();

    if (response.status >= 200 && response.status <= 299) co_return std::move(response.body);

    std::optional<PanelErrorResponse> refusal;
    try {
        refusal = decodeJSON<PanelErrorResponse>(std::string_view(response.body));
    } catch (const DecodingError&) {
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
