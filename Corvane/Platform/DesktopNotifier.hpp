// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace corvane {

struct DesktopNotice {
    std::string title;
    std::string body;
    bool operator==(const DesktopNotice&) const = default;
};

// Shows notices as desktop notifications on the user's session bus:
// org.freedesktop.Notifications, or the desktop portal's Notification
// interface inside a sandbox (Flatpak). Sending happens on a thread of its
// own, so a slow or hung bus never holds up the caller. Without a bus or a
// notification server a notice is dropped, said once in the log.
class DesktopNotifier {
public:
    DesktopNotifier();
    ~DesktopNotifier();
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    // Returns at once.
    void post(DesktopNotice notice);
    // Waits until every notice posted so far is sent or dropped.
    void flush();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::deque<DesktopNotice> queue_;
    bool sending_ = false;
    bool stopping_ = false;
    bool failureLogged_ = false;
    std::thread thread_;
};

// Sends one notice now; false (with the reason in `why`) when it did not reach a server.
bool sendDesktopNotice(const DesktopNotice& notice, std::string& why);

}  // namespace corvane
