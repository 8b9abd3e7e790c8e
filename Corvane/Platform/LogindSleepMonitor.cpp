// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Platform/LogindSleepMonitor.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include "Corvane/Platform/AppLog.hpp"

namespace corvane {

namespace {

constexpr const char* kMatch =
    "type='signal',sender='org.freedesktop.login1',interface='org.freedesktop.login1.Manager',"
    "member='PrepareForSleep',path='/org/freedesktop/login1'";

struct Handlers {
    std::function<void()>* willSleep;
    std::function<void()>* didWake;
};

int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
    int sleeping = 0;
    if (sd_bus_message_read(message, "b", &sleeping) < 0) return 0;
    auto* handlers = static_cast<Handlers*>(userdata);
    if (sleeping) {
        (*handlers->willSleep)();
    } else {
        (*handlers->didWake)();
    }
    return 0;
}

// True when logind owns its name on the bus.
bool logindAnswers(sd_bus* bus) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", &error, &reply, "s", "org.freedesktop.login1");
    int owned = 0;
    if (r >= 0) sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r >= 0 && owned;
}

}  // namespace

LogindSleepMonitor::~LogindSleepMonitor() { cancel(); }

void LogindSleepMonitor::start(std::function<void()> willSleep, std::function<void()> didWake) {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) return;
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r >= 0) {
        sd_bus_set_method_call_timeout(bus, 2'000'000);
        if (!logindAnswers(bus)) r = -ENOENT;
    }
    if (r < 0) {
        appLog("INFO", "sleep-monitor",
               std::string("logind does not answer on the system bus (") + std::strerror(-r) +
                   "); sleep and wake are not followed");
        sd_bus_unref(bus);
        return;
    }
    wake_ = FileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    willSleep_ = std::move(willSleep);
    didWake_ = std::move(didWake);
    thread_ = std::thread([this, bus] { run(bus); });
    pthread_setname_np(thread_.native_handle(), "corvane.app.sle");
}

void LogindSleepMonitor::cancel() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) return;
        std::uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(wake_.get(), &one, sizeof one);
        thread = std::move(thread_);
    }
    thread.join();
}

void LogindSleepMonitor::run(void* opaque) {
    auto* bus = static_cast<sd_bus*>(opaque);
    Handlers handlers{&willSleep_, &didWake_};
    sd_bus_slot* slot = nullptr;
    if (sd_bus_add_match(bus, &slot, kMatch, onPrepareForSleep, &handlers) < 0) {
        appLog("WARN", "sleep-monitor", "cannot subscribe to logind's sleep signal; sleep and wake are not followed");
        sd_bus_flush_close_unref(bus);
        return;
    }
    for (;;) {
        int r;
        while ((r = sd_bus_process(bus, nullptr)) > 0) {
        }
        if (r < 0) {
            appLog("WARN", "sleep-monitor", "the system bus went away; sleep and wake are no longer followed");
            break;
        }
        pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}, {wake_.get(), POLLIN, 0}};
        std::uint64_t usec = 0;
        int timeout = -1;
        if (sd_bus_get_timeout(bus, &usec) > 0 && usec != UINT64_MAX) timeout = 1000;
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) break;
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
}

}  // namespace corvane
