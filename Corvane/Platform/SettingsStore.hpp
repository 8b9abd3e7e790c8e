#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include <boost/asio/any_io_executor.hpp>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

namespace corvane {

// The user's settings: a flat key-value store that survives restarts and may be
// shared by several processes of the same user (the app and corvanectl).
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // Every stored value; empty when nothing usable is stored.
    virtual boost::json::object values() = 0;
    // Changes one key and leaves every other key as stored, also keys another
    // process wrote meanwhile. Throws std::system_error when it cannot be written.
    virtual void set(std::string_view key, boost::json::value value) = 0;
    virtual void remove(std::string_view key) = 0;
    // Calls `onChange` on `executor` after the stored values may have changed, by
    // another process or this one (compare to tell), until the returned object
    // goes. Nothing when the store cannot tell.
    virtual std::shared_ptr<void> observeChanges(const boost::asio::any_io_executor& /*executor*/,
                                                 std::function<void()> /*onChange*/) {
        return nullptr;
    }
};

}  // namespace corvane
