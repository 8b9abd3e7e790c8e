// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string_view>

#include <boost/asio/any_io_executor.hpp>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

namespace corvane {

// A change of the settings that could not be saved; what() names the file and the reason.
// The stored values are as they were before the change.
class SettingsWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The user's settings: a flat key-value store that survives restarts and may be
// shared by several processes of the same user (the app and corvanectl).
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // Every stored value; empty when nothing usable is stored.
    virtual boost::json::object values() = 0;
    // Reads the stored values, lets `change` alter them and stores the result, as one
    // step no other process's change comes between: an element this process adds to a
    // list and one another process adds at the same time are both kept. Nothing is
    // written when `change` leaves the values as they were. Throws SettingsWriteError,
    // or what `change` throws; the stored values are then unchanged.
    virtual void update(const std::function<void(boost::json::object&)>& change) = 0;

    // Changes one key and leaves every other key as stored, also keys another
    // process wrote meanwhile. Throws SettingsWriteError.
    void set(std::string_view key, boost::json::value value) {
        update([&](boost::json::object& values) { values.insert_or_assign(key, value); });
    }
    void remove(std::string_view key) {
        update([&](boost::json::object& values) { values.erase(key); });
    }

    // Calls `onChange` on `executor` after the stored values may have changed, by
    // another process or this one (compare to tell), until the returned object
    // goes. Nothing when the store cannot tell.
    virtual std::shared_ptr<void> observeChanges(const boost::asio::any_io_executor& /*executor*/,
                                                 std::function<void()> /*onChange*/) {
        return nullptr;
    }
};

}  // namespace corvane
