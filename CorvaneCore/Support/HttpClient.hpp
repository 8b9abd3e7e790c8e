// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

struct HttpHeader {
    std::string name;
    std::string value;
    bool operator==(const HttpHeader&) const = default;
};

using HttpHeaders = std::vector<HttpHeader>;

// Case-insensitive lookup; null when absent.
const std::string* findHeader(const HttpHeaders& headers, std::string_view name);

// The port a URL's port text names (empty text: `defaultPort`); nothing unless
// it is a decimal number from 0 to 65535.
std::optional<std::uint16_t> parsePort(std::string_view text, std::uint16_t defaultPort);

struct HttpRequest {
    std::string method = "GET";
    std::string url;  // absolute http:// or https:// URL
    HttpHeaders headers;
    std::string body;
    std::chrono::milliseconds timeout{60'000};
    // For a port on 127.0.0.1 that carries a secret: the account whose listener
    // it must be. The request goes out only when the kernel shows every listener
    // there as this account's, the same sockets before and after connecting.
    std::optional<std::uint32_t> loopbackListenerUID;
};

struct HttpResponse {
    int status = 0;
    HttpHeaders headers;
    std::string body;

    const std::string* header(std::string_view name) const { return findHeader(headers, name); }
};

class HttpError : public std::runtime_error {
public:
    enum class Kind { invalidURL, connect, tls, timeout, cancelled, protocol, tooLarge };
    HttpError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

struct HttpClientOptions {
    // A CA file trusted besides the system store (panels with a private CA, tests).
    std::optional<std::string> extraCAFile;
    // A hostile server cannot make us hold more than this of one body.
    std::size_t maxBodyBytes = 16 * 1024 * 1024;
    // Longest single line a streamed response may send.
    std::size_t maxLineBytes = 1024 * 1024;

    // extraCAFile from CORVANE_CA_FILE when set.
    static HttpClientOptions fromEnvironment();
};

// A response read line by line as it arrives (chunked or not).
class HttpLineStream {
public:
    class Impl;
    explicit HttpLineStream(std::unique_ptr<Impl> impl);
    ~HttpLineStream();
    HttpLineStream(HttpLineStream&&) noexcept;
    HttpLineStream& operator=(HttpLineStream&&) noexcept;

    int status() const;
    const HttpHeaders& headers() const;
    // The next line without its "\n" (and "\r"); nothing once the body has ended.
    // Throws HttpError on a broken stream, operation_aborted when the task is cancelled.
    Async<std::optional<std::string>> nextLine();

private:
    std::unique_ptr<Impl> impl_;
};

// HTTP/1.1 over TCP or TLS (certificate and host name verified). One connection
// per request. Every operation runs on the calling coroutine's executor; a
// cancelled task aborts its request at once.
class HttpClient {
public:
    explicit HttpClient(HttpClientOptions options = HttpClientOptions::fromEnvironment());
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Process-wide client configured from the environment.
    static HttpClient& shared();

    // The whole exchange is bounded by request.timeout.
    // Throws HttpError; cancellation surfaces as HttpError::Kind::cancelled.
    Async<HttpResponse> send(HttpRequest request);

    // Returns once the status line and headers have arrived (bounded by request.timeout);
    // the body is then read with nextLine() without a time limit.
    Async<HttpLineStream> openStream(HttpRequest request);

    const HttpClientOptions& options() const noexcept { return options_; }

private:
    struct TLS;
    HttpClientOptions options_;
    std::unique_ptr<TLS> tls_;
};

}  // namespace corvane
