#pragma once

#include <string_view>

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
};

}  // namespace corvane
