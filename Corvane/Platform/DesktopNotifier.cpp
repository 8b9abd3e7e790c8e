// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Platform/DesktopNotifier.hpp"

#include <atomic>
#include <cstring>
#include <filesystem>

#include <systemd/sd-bus.h>

#include "Corvane/Platform/AppLog.hpp"

namespace corvane {

namespace {

// Flatpak marks its sandboxes with this file; there only the portal reaches the desktop.
bool sandboxed() {
    std::error_code error;
    return std::filesystem::exists("/.flatpak-info", error);
}

}  // namespace

bool sendDesktopNotice(const DesktopNotice& notice, std::string& why) {
    sd_bus* bus = nullptr;
    // The session bus DBUS_SESSION_BUS_ADDRESS names, else $XDG_RUNTIME_DIR/bus; never one started for this.
    if (int r = sd_bus_open_user(&bus); r < 0) {
        why = std::string("no session bus: ") + std::strerror(-r);
        return false;
    }
    // A notice that cannot be shown within seconds is of no use later.
    sd_bus_set_method_call_timeout(bus, 5'000'000);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r;
    if (sandboxed()) {
        // The portal replaces a notice of the same id: each gets its own.
        static std::atomic<unsigned> counter{0};
        const std::string id = "corvane-" + std::to_string(++counter);
        r = sd_bus_call_method(bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                               "org.freedesktop.portal.Notification", "AddNotification", &error, &reply, "sa{sv}",
                               id.c_str(), 2, "title", "s", notice.title.c_str(), "body", "s", notice.body.c_str());
    } else {
        r = sd_bus_call_method(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                               "org.freedesktop.Notifications", "Notify", &error, &reply, "susssasa{sv}i", "Corvane",
                               0u, "corvane", notice.title.c_str(), notice.body.c_str(), 0, 1, "desktop-entry", "s",
                               "corvane", -1);
    }
    if (r < 0) why = error.message ? error.message : std::strerror(-r);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return r >= 0;
}

DesktopNotifier::DesktopNotifier() : thread_([this] { run(); }) {}

DesktopNotifier::~DesktopNotifier() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void DesktopNotifier::post(DesktopNotice notice) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(notice));
    }
    wake_.notify_all();
}

void DesktopNotifier::flush() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !sending_; });
}

void DesktopNotifier::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            queue_.clear();
            idle_.notify_all();
            return;
        }
        DesktopNotice notice = std::move(queue_.front());
        queue_.pop_front();
        sending_ = true;
        lock.unlock();
        std::string why;
        const bool sent = sendDesktopNotice(notice, why);
        lock.lock();
        sending_ = false;
        if (!sent && !failureLogged_) {
            failureLogged_ = true;
            appLog("INFO", "notifications", "desktop notifications are not shown: " + why);
        }
        if (queue_.empty()) idle_.notify_all();
    }
}

}  // namespace corvane
