// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/panel-sim/PanelSim.hpp"

namespace boost::asio {
class io_context;
}

namespace corvane::panelsim {

// The admin interface: a Unix socket (0600, so only this user) that takes one
// command per connection: a JSON array of words in, {"ok": …, "text": …} out.
class AdminSocket {
public:
    using Handler = std::function<AdminReply(const std::vector<std::string>&)>;

    // Replaces a socket file that nobody listens on; refuses one that is in use.
    AdminSocket(boost::asio::io_context& context, std::filesystem::path path, Handler handler);
    ~AdminSocket();
    AdminSocket(const AdminSocket&) = delete;
    AdminSocket& operator=(const AdminSocket&) = delete;

    void start();
    void stop();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// `corvane-panel-sim ctl`: sends `words` to the socket and returns the reply;
// a reply with ok false, or no answer, throws std::runtime_error with the text.
std::string sendAdminCommand(const std::filesystem::path& socket, const std::vector<std::string>& words);

}  // namespace corvane::panelsim
