#pragma once

#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>

#include <boost/asio/io_context.hpp>

#include "Corvane/Model/AppModel.hpp"
#include "CorvaneCore/Support/Blocking.hpp"

namespace corvane::cli {

// One application model without a window, on this thread's own loop, with the
// desktop app's settings, token store and tunnel service (which may be absent).
class HeadlessModel {
public:
    struct Options {
        bool followNetwork = false;  // a recovery that waits for the network needs path events
    };
    explicit HeadlessModel(Options options);
    ~HeadlessModel();

    AppModel& model() { return *model_; }
    boost::asio::io_context& io() { return io_; }

    // start(); false (after printing why) when the model is not signed in, or with
    // `listLoaded` also when the server list could not be loaded (the model's error).
    bool startSignedIn(std::ostream& err, bool listLoaded = false);
    // While the tunnel is connected: waits (up to `limit`) for the engine's first
    // answer, so the live values (client, delays, active outbound) are there.
    void awaitLiveValues(std::chrono::steady_clock::duration limit);
    // Waits until a connect that is under way has ended: connected, or down
    // again. True when connected. A connect's failure text is the model's error
    // or the tunnel's last error.
    bool awaitConnected(std::chrono::steady_clock::duration limit);

    template <class T>
    T run(Async<T> work) {
        return runUntilDone(io_, std::move(work));
    }
    // Runs the loop until `done` holds or `limit` passes; true when it holds.
    bool runUntil(const std::function<bool()>& done, std::chrono::steady_clock::duration limit);

    // Exit status 1 with the model's error text as the last line of standard
    // error when it shows one, else `success`.
    int finish(std::ostream& err, int success = 0);

private:
    boost::asio::io_context io_;
    std::unique_ptr<AppModel> model_;
};

// "Not signed in. Run corvanectl login." and 1 when the model is signed out.
inline constexpr const char* notSignedInText = "Not signed in. Run corvanectl login.";

}  // namespace corvane::cli
