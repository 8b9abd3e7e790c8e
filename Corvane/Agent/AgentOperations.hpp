// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

#include <boost/asio/steady_timer.hpp>

#include "Corvane/Agent/AgentServer.hpp"

namespace corvane {

class AppModel;

// The model's operations as the agent's clients call them, by name, with
// their arguments as a JSON object. Runs on the model's thread.
class AgentOperations final : public AgentHandler {
public:
    // `stop`: ends the agent (after this call's reply is out); its argument
    // says whether to disconnect first.
    AgentOperations(AppModel& model, std::function<void(bool disconnect)> stop);

    Async<boost::json::value> call(std::string op, boost::json::object args) override;
    Async<void> ready() override;
    // The model has restored its stored state: waiting operations go on.
    void markReady();

private:
    Async<boost::json::value> dispatch(std::string op, boost::json::object args);

    AppModel& model_;
    std::function<void(bool)> stop_;
    bool ready_ = false;
    boost::asio::steady_timer readyTimer_;
};

}  // namespace corvane
