// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "CorvaneTunnel/EngineProcess.hpp"

namespace corvane {

// The engine as the tunnel lifecycle holds it: one EngineProcess.
class EngineService {
public:
    explicit EngineService(EngineProcess::Options options) : process_(std::move(options)) {}

    void start() { process_.start(); }
    void cancel() noexcept { process_.cancel(); }
    void close() { process_.close(); }
    // The engine follows sleep and network changes by itself.
    void pause() noexcept {}
    void wake() noexcept {}
    // Closes every connection the engine carries, so that programs reconnect
    // over the current network instead of waiting on dead ones.
    void resetNetwork() noexcept;

private:
    EngineProcess process_;
};

}  // namespace corvane
