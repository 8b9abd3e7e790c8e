// SPDX-License-Identifier: GPL-3.0-or-later
// The HTTP client against a hostile server on 127.0.0.1 that answers with the
// input's bytes: a response either arrives within the client's limits or fails
// with HttpError, whole or streamed line by line. The URL handling (ports, the
// panel's canonical address) gets the input as text too.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "CorvaneCore/Panel/PanelClient.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

namespace {

// One listening socket for the whole run; each input is served to one connection.
struct Server {
    int fd = -1;
    std::uint16_t port = 0;
    Server() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            fuzz::fail("a loopback listener opens", std::strerror(errno));
        }
        port = ntohs(address.sin_port);
    }
    // Reads the request's head, answers with `reply`, then closes.
    void serveOnce(std::string_view reply) const {
        const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            head.append(buffer, static_cast<std::size_t>(n));
        }
        for (std::size_t sent = 0; sent < reply.size();) {
            const ssize_t n = ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        ::shutdown(client, SHUT_WR);
        ::close(client);
    }
};

HttpClient& client() {
    static HttpClient instance(HttpClientOptions{.maxBodyBytes = 64 * 1024, .maxLineBytes = 4096});
    return instance;
}

Async<void> readLines(HttpRequest request) {
    auto stream = co_await client().openStream(std::move(request));
    while (auto line = co_await stream.nextLine()) {
        if (line->size() > client().options().maxLineBytes) fuzz::fail("a streamed line stays within the limit", *line);
    }
}

}  // namespace

CORVANE_FUZZ_TARGET {
    static const Server server;
    const auto in = fuzz::text(data, size);

    (void)canonicalPanelURL(in);
    if (auto port = parsePort(in, 443); port && !in.empty()) {
        if (std::to_string(*port) != std::string(in).erase(0, std::min(in.find_first_not_of('0'), in.size() - 1))) {
            fuzz::fail("a parsed port is the number written", in);
        }
    }

    HttpRequest request{.url = "http://127.0.0.1:" + std::to_string(server.port) + "/fuzz",
                        .timeout = std::chrono::milliseconds(2000)};
    const bool streamed = size > 0 && data[0] % 2 == 1;
    std::thread serving([&] { server.serveOnce(in); });
    try {
        if (streamed) {
            runToCompletion(readLines(request));
        } else {
            const HttpResponse response = runToCompletion(client().send(request));
            if (response.body.size() > client().options().maxBodyBytes) fuzz::fail("a body stays within the limit", in);
            if (response.status < 100 || response.status > 599) fuzz::fail("a status is an HTTP status", in);
        }
    } catch (const HttpError&) {
    }
    serving.join();
    return 0;
}
