// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CorvaneCore/Config/DeploymentValues.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"
#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

class HttpClient;
class HttpLineStream;

// The app's client of the engine's control API on 127.0.0.1: selectors,
// connections, latency tests, reachability probes, totals, the proxy table and
// the live traffic rate. A plain immutable value; any number of calls may run
// at once. Operations the user starts throw; background ones return a neutral
// result.
class ClashClient {
public:
    // Deployment values: where latency tests and reachability probes go. The
    // engine replaces every http:// test URL with its own default, so these
    // are https:// URLs.
    struct Endpoints {
        // Group latency tests: an HTTPS endpoint that answers 204.
        std::string groupTestURL{DeploymentValues::urlTestProbeURL};
        // Reachability of one outbound: tried in order until one answers.
        std::vector<std::string> probeURLs{DeploymentValues::reachabilityProbeURLs.begin(),
                                           DeploymentValues::reachabilityProbeURLs.end()};
        bool operator==(const Endpoints&) const = default;
    };

    struct Proxy {
        struct Delay {
            static constexpr std::string_view recordName = "ClashClient.Proxy.Delay";
            std::int64_t delay = 0;  // milliseconds
            std::optional<std::string> time;  // when it was measured, RFC 3339 in the engine's zone
            bool operator==(const Delay&) const = default;
            // `time` as a point in time; none when absent or unreadable.
            std::optional<std::chrono::system_clock::time_point> measuredAt() const;
            static Delay decode(const RecordDecoder& d);
            void encode(RecordEncoder& e) const;
        };
        static constexpr std::string_view recordName = "ClashClient.Proxy";
        std::optional<std::string> now;  // the member a group uses now
        std::optional<std::vector<Delay>> history;

        bool operator==(const Proxy&) const = default;
        static Proxy decode(const RecordDecoder& d);
        void encode(RecordEncoder& e) const;
    };

    struct ProxiesResponse {
        static constexpr std::string_view recordName = "ClashClient.ProxiesResponse";
        std::map<std::string, Proxy> proxies;

        bool operator==(const ProxiesResponse&) const = default;
        static ProxiesResponse decode(const RecordDecoder& d);
        void encode(RecordEncoder& e) const;
    };

    // Bytes per second.
    struct Traffic {
        static constexpr std::string_view recordName = "ClashClient.Traffic";
        std::int64_t up = 0;
        std::int64_t down = 0;

        bool operator==(const Traffic&) const = default;
        static Traffic decode(const RecordDecoder& d);
        void encode(RecordEncoder& e) const;
    };

    // Cumulative bytes since the engine started.
    struct Totals {
        std::int64_t up = 0;
        std::int64_t down = 0;
        bool operator==(const Totals&) const = default;
    };

    class ClashError : public std::exception {
    public:
        enum class Case { http };
        // An unexpected HTTP status, or 0 when the answer was not HTTP.
        static ClashError http(int status);

        Case kind() const noexcept { return Case::http; }
        int status() const noexcept { return status_; }
        const std::string& description() const noexcept { return description_; }
        const char* what() const noexcept override { return description_.c_str(); }
        bool operator==(const ClashError& other) const { return status_ == other.status_; }

    private:
        explicit ClashError(int status);
        int status_;
        std::string description_;
    };

    // The live traffic rate, one sample a second, read line by line from a
    // long-lived response. Cancelling the consumer's task ends it.
    class TrafficStream {
    public:
        explicit TrafficStream(const ClashClient& client);
        ~TrafficStream();
        TrafficStream(TrafficStream&&) noexcept;
        TrafficStream& operator=(TrafficStream&&) noexcept;

        // The next sample; nothing once the engine ended the response. Lines
        // that are not a sample are skipped. Throws HttpError when opening or
        // reading fails (or the task was cancelled).
        Async<std::optional<Traffic>> next();

    private:
        std::unique_ptr<ClashClient> client_;
        std::unique_ptr<HttpLineStream> stream_;
        bool ended_ = false;
    };

    // The URL-test group whose members testGroup() measures.
    static constexpr std::string_view urlTestGroup = "proxy-auto";

    // With the default endpoints and the process-wide HTTP client.
    ClashClient(std::int64_t port, std::string secret);
    // `http` defaults to the process-wide client; it must outlive every call.
    // `owner`: the account whose listener the port must be before the secret
    // goes there (the engine's, as the tunnel service reports it); this
    // process's own by default.
    ClashClient(std::int64_t port, std::string secret, Endpoints endpoints, HttpClient* http = nullptr,
                std::optional<std::uint32_t> owner = std::nullopt);

    std::int64_t port() const noexcept { return port_; }
    const std::string& secret() const noexcept { return secret_; }
    std::uint32_t owner() const noexcept { return owner_; }
    const Endpoints& endpoints() const noexcept { return endpoints_; }
    bool operator==(const ClashClient& other) const {
        return port_ == other.port_ && secret_ == other.secret_ && owner_ == other.owner_ && endpoints_ == other.endpoints_ &&
               http_ == other.http_;
    }

    // Makes the selector `group` use `choice`. Throws ClashError for a status
    // outside 2xx, HttpError when the request fails.
    Async<void> setSelector(std::string group, std::string choice) const;
    // The proxy table. Throws ClashError unless the status is 200, HttpError,
    // or DecodingError for a body that is not a table.
    Async<ProxiesResponse> proxies() const;
    // Cumulative upload and download; nothing on any failure.
    Async<std::optional<Totals>> totals() const;
    // Closes every open connection whose chain passes through `tag`; the number closed.
    Async<std::int64_t> closeConnections(std::string tag) const;
    // Starts a latency test of every member of the URL-test group. Never fails.
    Async<void> testGroup() const;
    // Whether outbound `name` reaches one of the probe endpoints. Never fails;
    // false at once when the calling task has been cancelled.
    Async<bool> probe(std::string name) const;
    // The live traffic rate. Nothing is sent until the first next().
    TrafficStream traffic() const { return TrafficStream(*this); }

private:
    static Async<void> runSetSelector(ClashClient self, std::string group, std::string choice);
    static Async<ProxiesResponse> runProxies(ClashClient self);
    static Async<std::optional<Totals>> runTotals(ClashClient self);
    static Async<std::int64_t> runCloseConnections(ClashClient self, std::string tag);
    static Async<void> runTestGroup(ClashClient self);
    static Async<bool> runProbe(ClashClient self, std::string name);

    std::string url(std::string_view pathAndQuery) const;
    HttpClient& http() const;

    std::int64_t port_;
    std::string secret_;
    std::uint32_t owner_;
    Endpoints endpoints_;
    HttpClient* http_;
};

}  // namespace corvane
