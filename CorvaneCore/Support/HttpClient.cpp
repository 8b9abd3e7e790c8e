// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Support/HttpClient.hpp"

#include <array>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <strings.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/url/parse.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "CorvaneCore/Support/LoopbackListener.hpp"
#include "CorvaneCore/Support/Timeout.hpp"

namespace corvane {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

const std::string* findHeader(const HttpHeaders& headers, std::string_view name) {
    for (const auto& h : headers) {
        if (h.name.size() == name.size() && strncasecmp(h.name.data(), name.data(), name.size()) == 0) return &h.value;
    }
    return nullptr;
}

std::optional<std::uint16_t> parsePort(std::string_view text, std::uint16_t defaultPort) {
    if (text.empty()) return defaultPort;
    unsigned value = 0;
    const auto end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

HttpClientOptions HttpClientOptions::fromEnvironment() {
    HttpClientOptions options;
    if (const char* ca = std::getenv("CORVANE_CA_FILE"); ca && *ca) options.extraCAFile = ca;
    return options;
}

struct HttpClient::TLS {
    ssl::context context{ssl::context::tls_client};
    std::string setupError;  // reported by every TLS request, so a bad CA file never goes unnoticed
};

namespace {

constexpr std::size_t kHeaderLimit = 64 * 1024;

struct Target {
    bool tls = false;
    std::string host;        // for connecting and certificate checks: no brackets
    std::uint16_t port = 0;
    std::string hostHeader;  // as written in the URL
    std::string resource;    // path and query
    std::optional<std::uint32_t> listenerUID;  // HttpRequest::loopbackListenerUID
};

Target parseTarget(const std::string& url) {
    auto parsed = boost::urls::parse_uri(url);
    if (!parsed) throw HttpError(HttpError::Kind::invalidURL, "invalid URL: " + url);
    const auto& u = *parsed;
    Target t;
    if (u.scheme_id() == boost::urls::scheme::https) {
        t.tls = true;
    } else if (u.scheme_id() != boost::urls::scheme::http) {
        throw HttpError(HttpError::Kind::invalidURL, "unsupported URL scheme: " + url);
    }
    if (!u.has_authority() || u.encoded_host().empty()) throw HttpError(HttpError::Kind::invalidURL, "URL without a host: " + url);
    t.host = u.host_type() == boost::urls::host_type::ipv6 ? u.host_address() : std::string(u.host());
    const auto port = parsePort(u.has_port() ? std::string_view(u.port()) : std::string_view(), t.tls ? 443 : 80);
    if (!port) throw HttpError(HttpError::Kind::invalidURL, "invalid port in URL: " + url);
    t.port = *port;
    t.hostHeader = std::string(u.encoded_host_and_port());
    t.resource = u.encoded_path().empty() ? "/" : std::string(u.encoded_path());
    if (u.has_query()) t.resource += "?" + std::string(u.encoded_query());
    return t;
}

bool isAborted(const boost::system::error_code& ec) { return ec == asio::error::operation_aborted; }

// A status outside the defined classes (the parser takes any three digits, "000" too)
// is no answer a caller could act on.
int checkedStatus(unsigned status, const std::string& host) {
    if (status < 100 || status > 599) {
        throw HttpError(HttpError::Kind::protocol, "request to " + host + " failed: the server answered with status " +
                                                       std::to_string(status) + ", which is no HTTP status");
    }
    return static_cast<int>(status);
}

[[noreturn]] void rethrowAs(HttpError::Kind kind, const boost::system::system_error& e, std::string_view stage) {
    if (isAborted(e.code())) throw HttpError(HttpError::Kind::cancelled, "the request was cancelled");
    throw HttpError(kind, std::string(stage) + ": " + e.code().message());
}

// One TCP or TLS connection.
class Connection {
public:
    Connection(const asio::any_io_executor& ex, ssl::context* tls) {
        if (tls) {
            secure_.emplace(ex, *tls);
        } else {
            plain_.emplace(ex);
        }
    }

    template <class F>
    decltype(auto) visit(F&& f) {
        return secure_ ? f(*secure_) : f(*plain_);
    }

    Async<void> connect(const Target& t) {
        auto ex = co_await asio::this_coro::executor;
        tcp::socket& socket = secure_ ? secure_->next_layer() : *plain_;
        std::optional<boost::system::system_error> failure;
        std::optional<std::vector<LoopbackListener>> listeners;
        if (t.listenerUID) {
            if (t.host != "127.0.0.1") throw HttpError(HttpError::Kind::invalidURL, "a checked listener must be on 127.0.0.1");
            listeners = checkedListeners(t);
        }
        try {
            boost::system::error_code ec;
            auto address = asio::ip::make_address(t.host, ec);
            if (!ec) {
                co_await socket.async_connect(tcp::endpoint(address, t.port), asio::use_awaitable);
            } else {
                tcp::resolver resolver(ex);
                auto endpoints = co_await resolver.async_resolve(t.host, std::to_string(t.port), asio::use_awaitable);
                co_await asio::async_connect(socket, endpoints, asio::use_awaitable);
            }
        } catch (const boost::system::system_error& e) {
            failure = e;
        }
        if (failure) rethrowAs(HttpError::Kind::connect, *failure, "cannot connect to " + t.hostHeader);
        if (listeners && checkedListeners(t) != *listeners) {
            close();
            throw HttpError(HttpError::Kind::connect, "the listener on " + t.hostHeader + " changed while connecting");
        }
        socket.set_option(tcp::no_delay(true));
        if (!secure_) co_return;

        boost::system::error_code ipError;
        asio::ip::make_address(t.host, ipError);
        if (ipError && !SSL_set_tlsext_host_name(secure_->native_handle(), t.host.c_str())) {
            throw HttpError(HttpError::Kind::tls, "cannot set the TLS server name");
        }
        secure_->set_verify_mode(ssl::verify_peer);
        secure_->set_verify_callback(ssl::host_name_verification(t.host));
        try {
            co_await secure_->async_handshake(ssl::stream_base::client, asio::use_awaitable);
        } catch (const boost::system::system_error& e) {
            failure = e;
        }
        if (failure) rethrowAs(HttpError::Kind::tls, *failure, "TLS handshake with " + t.hostHeader + " failed");
    }

    void close() {
        boost::system::error_code ignored;
        tcp::socket& socket = secure_ ? secure_->next_layer() : *plain_;
        socket.close(ignored);
    }

private:
    static std::vector<LoopbackListener> checkedListeners(const Target& t) {
        ListenerCheck check = checkLoopbackListener(t.port, ListenerExpectation{.uid = *t.listenerUID});
        if (!check) throw HttpError(HttpError::Kind::connect, "not sent to " + t.hostHeader + ": " + *check.refusal);
        return std::move(check.listeners);
    }

    std::optional<tcp::socket> plain_;
    std::optional<ssl::stream<tcp::socket>> secure_;
};

http::request<http::string_body> buildRequest(const Target& t, HttpRequest& req) {
    http::request<http::string_body> r;
    r.method_string(req.method);
    r.target(t.resource);
    r.version(11);
    r.set(http::field::host, t.hostHeader);
    r.set(http::field::user_agent, "Corvane/" CORVANE_VERSION);
    for (const auto& h : req.headers) r.set(h.name, h.value);
    if (!req.body.empty() || req.method == "POST" || req.method == "PUT" || req.method == "PATCH") {
        r.body() = std::move(req.body);
        r.prepare_payload();
    }
    return r;
}

template <class Body>
HttpHeaders collectHeaders(const http::response<Body>& m) {
    HttpHeaders headers;
    for (const auto& f : m) headers.push_back({std::string(f.name_string()), std::string(f.value())});
    return headers;
}

}  // namespace

class HttpLineStream::Impl {
public:
    Impl(const asio::any_io_executor& ex, ssl::context* tls, std::size_t maxLine) : connection(ex, tls), maxLine(maxLine) {
        parser.header_limit(kHeaderLimit);
        parser.body_limit(boost::none);  // a stream may run for hours; lines are capped instead
    }

    Async<void> open(const Target& t, HttpRequest& req) {
        co_await connection.connect(t);
        auto request = buildRequest(t, req);
        std::optional<boost::system::system_error> failure;
        try {
            co_await connection.visit([&](auto& s) { return http::async_write(s, request, asio::use_awaitable); });
            co_await connection.visit([&](auto& s) { return http::async_read_header(s, buffer, parser, asio::use_awaitable); });
        } catch (const boost::system::system_error& e) {
            failure = e;
        }
        if (failure) rethrowAs(HttpError::Kind::protocol, *failure, "request to " + t.hostHeader + " failed");
        status = checkedStatus(parser.get().result_int(), t.hostHeader);
        headers = collectHeaders(parser.get());
        done = parser.is_done();
    }

    Async<std::optional<std::string>> nextLine() {
        for (;;) {
            auto newline = pending.find('\n', scanned);
            if (newline != std::string::npos) {
                std::string line = pending.substr(0, newline);
                pending.erase(0, newline + 1);
                scanned = 0;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                co_return line;
            }
            scanned = pending.size();
            if (done) {
                if (pending.empty()) co_return std::nullopt;
                std::string last = std::move(pending);
                pending.clear();
                scanned = 0;
                co_return last;
            }
            if (pending.size() > maxLine) throw HttpError(HttpError::Kind::tooLarge, "a streamed line is too long");
            auto& body = parser.get().body();
            body.data = chunk.data();
            body.size = chunk.size();
            std::optional<boost::system::system_error> failure;
            try {
                co_await connection.visit([&](auto& s) { return http::async_read_some(s, buffer, parser, asio::use_awaitable); });
            } catch (const boost::system::system_error& e) {
                if (e.code() != http::error::need_buffer) failure = e;
            }
            if (failure) {
                connection.close();
                rethrowAs(HttpError::Kind::protocol, *failure, "the stream broke");
            }
            pending.append(chunk.data(), chunk.size() - parser.get().body().size);
            if (parser.is_done()) done = true;
        }
    }

    Connection connection;
    beast::flat_buffer buffer;
    http::response_parser<http::buffer_body> parser;
    std::array<char, 8192> chunk{};
    std::string pending;
    std::size_t scanned = 0;
    std::size_t maxLine;
    bool done = false;
    int status = 0;
    HttpHeaders headers;
};

HttpLineStream::HttpLineStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HttpLineStream::~HttpLineStream() = default;
HttpLineStream::HttpLineStream(HttpLineStream&&) noexcept = default;
HttpLineStream& HttpLineStream::operator=(HttpLineStream&&) noexcept = default;
int HttpLineStream::status() const { return impl_->status; }
const HttpHeaders& HttpLineStream::headers() const { return impl_->headers; }
Async<std::optional<std::string>> HttpLineStream::nextLine() { return impl_->nextLine(); }

namespace {

// Whether one of the folders (a list in the form SSL_CERT_DIR takes) holds
// certificates under their subject hashes, as update-ca-certificates leaves them.
bool holdsHashedCertificates(std::string_view folders) {
    auto isHashName = [](const std::string& name) {
        const auto dot = name.find('.');
        if (dot != 8 || dot + 1 == name.size()) return false;
        for (std::size_t i = 0; i < name.size(); ++i) {
            const char c = name[i];
            const bool ok = i < 8 ? std::isxdigit(static_cast<unsigned char>(c)) : (i == 8 || std::isdigit(static_cast<unsigned char>(c)));
            if (!ok) return false;
        }
        return true;
    };
    while (!folders.empty()) {
        const auto colon = folders.find(':');
        const std::string folder(folders.substr(0, colon));
        folders = colon == std::string_view::npos ? std::string_view() : folders.substr(colon + 1);
        std::error_code ec;
        for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            if (isHashName(it->path().filename().string())) return true;
        }
    }
    return false;
}

// The system's trusted certificates. Where the certificate folder is hashed,
// OpenSSL reads from it only the certificates a chain needs; reading the whole
// bundle instead costs every process about 0.7 MB of heap for ~140 roots it
// never uses. Another bundle named in SSL_CERT_FILE is still read, as
// OpenSSL's defaults do; the system's own bundle holds what its folder holds.
bool trustSystemCertificates(SSL_CTX* context) {
    const char* folders = std::getenv(X509_get_default_cert_dir_env());
    if (!folders || !*folders) folders = X509_get_default_cert_dir();
    const char* bundle = std::getenv(X509_get_default_cert_file_env());
    std::error_code ec;
    const bool otherBundle = bundle && *bundle && !std::filesystem::equivalent(bundle, X509_get_default_cert_file(), ec);
    if (!otherBundle && holdsHashedCertificates(folders)) return SSL_CTX_set_default_verify_dir(context) == 1;
    return SSL_CTX_set_default_verify_paths(context) == 1;
}

}  // namespace

HttpClient::HttpClient(HttpClientOptions options) : options_(std::move(options)), tls_(std::make_unique<TLS>()) {
    SSL_CTX_set_min_proto_version(tls_->context.native_handle(), TLS1_2_VERSION);
    if (!trustSystemCertificates(tls_->context.native_handle())) {
        tls_->setupError = "cannot load the system's trusted certificates";
        ERR_clear_error();
    }
    boost::system::error_code ec;
    if (options_.extraCAFile) {
        tls_->context.load_verify_file(*options_.extraCAFile, ec);
        if (ec) tls_->setupError = "cannot load the CA file " + *options_.extraCAFile + ": " + ec.message();
    }
}

HttpClient::~HttpClient() = default;

HttpClient& HttpClient::shared() {
    static HttpClient client;
    return client;
}

namespace {

// One whole exchange on a fresh connection, its state in one allocation.
struct Exchange {
    Exchange(const asio::any_io_executor& ex, ssl::context* tls, std::size_t maxBody, Target t, HttpRequest r)
        : connection(ex, tls), maxBody(maxBody), target(std::move(t)), request(std::move(r)) {}
    Connection connection;
    std::size_t maxBody;
    Target target;
    HttpRequest request;
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
};

Async<HttpResponse> exchange(std::shared_ptr<Exchange> x) {
    co_await x->connection.connect(x->target);
    auto r = buildRequest(x->target, x->request);
    x->parser.header_limit(kHeaderLimit);
    x->parser.body_limit(x->maxBody);
    std::optional<boost::system::system_error> failure;
    try {
        co_await x->connection.visit([&](auto& s) { return http::async_write(s, r, asio::use_awaitable); });
        co_await x->connection.visit([&](auto& s) { return http::async_read(s, x->buffer, x->parser, asio::use_awaitable); });
    } catch (const boost::system::system_error& e) {
        failure = e;
    }
    if (failure && failure->code() == http::error::body_limit) {
        throw HttpError(HttpError::Kind::tooLarge, "the response body exceeds " + std::to_string(x->maxBody) + " bytes");
    }
    if (failure) rethrowAs(HttpError::Kind::protocol, *failure, "request to " + x->target.hostHeader + " failed");
    auto message = x->parser.release();
    HttpResponse response;
    response.status = checkedStatus(message.result_int(), x->target.hostHeader);
    response.headers = collectHeaders(message);
    response.body = std::move(message.body());
    co_return response;
}

template <class T>
Async<T> bounded(std::chrono::milliseconds limit, Async<T> work) {
    bool timedOut = false;
    std::optional<boost::system::system_error> failure;
    try {
        co_return co_await withTimeout(limit, std::move(work));
    } catch (const TimeoutError&) {
        timedOut = true;
    } catch (const boost::system::system_error& e) {
        failure = e;
    }
    if (timedOut) throw HttpError(HttpError::Kind::timeout, "the request timed out");
    rethrowAs(HttpError::Kind::protocol, *failure, "the request failed");
}

}  // namespace

Async<HttpResponse> HttpClient::send(HttpRequest request) {
    Target target = parseTarget(request.url);
    target.listenerUID = request.loopbackListenerUID;
    if (target.tls && !tls_->setupError.empty()) throw HttpError(HttpError::Kind::tls, tls_->setupError);
    auto ex = co_await asio::this_coro::executor;
    ssl::context* tls = target.tls ? &tls_->context : nullptr;
    const std::size_t maxBody = options_.maxBodyBytes;

    const auto limit = request.timeout;
    auto state = std::make_shared<Exchange>(ex, tls, maxBody, std::move(target), std::move(request));
    co_return co_await bounded(limit, exchange(std::move(state)));
}

Async<HttpLineStream> HttpClient::openStream(HttpRequest request) {
    Target target = parseTarget(request.url);
    target.listenerUID = request.loopbackListenerUID;
    if (target.tls && !tls_->setupError.empty()) throw HttpError(HttpError::Kind::tls, tls_->setupError);
    auto ex = co_await asio::this_coro::executor;
    auto impl = std::make_unique<HttpLineStream::Impl>(ex, target.tls ? &tls_->context : nullptr, options_.maxLineBytes);
    const auto limit = request.timeout;
    co_await bounded(limit, impl->open(target, request));
    co_return HttpLineStream(std::move(impl));
}

}  // namespace corvane
