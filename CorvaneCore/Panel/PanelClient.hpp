// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CorvaneCore/Panel/PanelError.hpp"
#include "CorvaneCore/Panel/PanelRecords.hpp"
#include "CorvaneCore/Panel/UpdateChecker.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"
#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

class HttpClient;
struct DiagnosticReport;
struct DiagnosticPostResponse;

// The panel address under which a token is stored: trimmed, without trailing
// slashes, lower-cased.
std::string canonicalPanelURL(std::string_view text);

// Client of the panel's API. Lives on the model's thread; several requests may
// be in flight at once. Every failure is a PanelError; nothing is retried here.
class PanelClient {
public:
    explicit PanelClient(std::string baseURL, std::optional<std::string> token = {}, HttpClient* session = nullptr);

    void setToken(std::optional<std::string> token) { token_ = std::move(token); }
    void setBaseURL(std::string baseURL) { baseURL_ = std::move(baseURL); }
    const std::string& baseURL() const noexcept { return baseURL_; }
    const std::optional<std::string>& token() const noexcept { return token_; }

    // Does not keep the token: the caller hands it to setToken.
    Async<LoginResponse> login(std::string email, std::string password, std::optional<std::string> deviceName = {});
    // `timeout` (seconds) replaces the request's usual 60.
    Async<std::vector<ServerListEntry>> servers(std::optional<double> timeout = {});
    Async<ServerListResponse> serverList(std::optional<double> timeout = {});
    Async<void> selectMeteredExit(std::int64_t id, bool fallback);
    // `platform` goes into the query as given.
    Async<VersionResponse> version(std::string platform);
    Async<DiagnosticPostResponse> uploadDiagnostics(const DiagnosticReport& report);

    // The request procedure shared by every operation: builds the request against
    // the base URL, sends it, classifies refusals and decodes a 2xx body as `Reply`.
    template <Record Reply>
    Async<Reply> perform(std::string method, std::string path, bool authenticated, std::optional<std::string> body = {},
                         std::optional<double> timeoutSeconds = {}) {
        std::string text = co_await performRaw(std::move(method), std::move(path), authenticated, std::move(body),
                                               timeoutSeconds);
        co_return decodeReply<Reply>(text);
    }

    static constexpr double defaultTimeoutSeconds = 60;

private:
    // The body of a 2xx reply.
    Async<std::string> performRaw(std::string method, std::string path, bool authenticated,
                                  std::optional<std::string> body, std::optional<double> timeoutSeconds);

    template <Record Reply>
    static Reply decodeReply(const std::string& text) {
        try {
            return decodeJSON<Reply>(std::string_view(text));
        } catch (const DecodingError& e) {
            throw PanelError::malformedResponse("could not decode " + std::string(Reply::recordName) + ": " +
                                                e.description());
        } catch (const std::exception& e) {  // nothing but a PanelError leaves the client
            throw PanelError::malformedResponse("could not decode " + std::string(Reply::recordName) + ": " + e.what());
        }
    }

    HttpClient* session_;
    std::string baseURL_;
    std::optional<std::string> token_;
};

}  // namespace corvane
