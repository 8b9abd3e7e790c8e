#pragma once

#include <iosfwd>

#include "Corvane/CommandLine/HeadlessModel.hpp"

namespace corvane::cli {

// What `watch` prints besides changes of state: the traffic rates once a second
// while connected, and each new log line at warn or above. Ends with the handle.
TaskHandle startLiveOutput(HeadlessModel& headless, std::ostream& out, bool asJSON);

}  // namespace corvane::cli
