// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Platform/SettingsFileWatcher.hpp"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "Corvane/Platform/AppLog.hpp"

namespace corvane {

namespace asio = boost::asio;

struct SettingsFileWatcher::Impl : std::enable_shared_from_this<Impl> {
    Impl(const asio::any_io_executor& executor, std::string name, std::function<void()> onChange,
         std::chrono::steady_clock::duration quiet)
        : events(executor), timer(executor), name(std::move(name)), onChange(std::move(onChange)), quiet(quiet) {}

    asio::posix::stream_descriptor events;
    asio::steady_timer timer;
    std::string name;  // the file's name in the watched folder
    std::function<void()> onChange;
    std::chrono::steady_clock::duration quiet;
    // inotify_event records; large enough for several whole records with names.
    alignas(inotify_event) std::array<char, 4096> buffer{};
    bool stopped = false;

    void read() {
        events.async_read_some(asio::buffer(buffer), [self = shared_from_this()](const boost::system::error_code& ec,
                                                                                 std::size_t size) {
            if (ec || self->stopped) return;
            self->take(size);
            self->read();
        });
    }

    void take(std::size_t size) {
        bool ours = false;
        for (std::size_t at = 0; at + sizeof(inotify_event) <= size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            // The name is padded with NULs; an overflow may have dropped the file's own event.
            if ((event->mask & IN_Q_OVERFLOW) || (event->len > 0 && name == event->name)) ours = true;
            at += sizeof(inotify_event) + event->len;
        }
        if (!ours) return;
        // Every further change moves the deadline: one notice per burst.
        timer.expires_after(quiet);
        timer.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
            if (!ec && !self->stopped) self->onChange();
        });
    }
};

SettingsFileWatcher::SettingsFileWatcher(const asio::any_io_executor& executor, std::filesystem::path file,
                                         std::function<void()> onChange, std::chrono::steady_clock::duration quiet)
    : impl_(std::make_shared<Impl>(executor, file.filename().string(), std::move(onChange), quiet)) {
    const std::filesystem::path folder = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);  // the settings folder is made before its first file
    if (!ec) ::chmod(folder.c_str(), 0700);
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        appLog("WARN", "settings", std::string("changes by other programs are not followed: ") + std::strerror(errno));
        return;
    }
    // The file is replaced by a rename, so the folder is watched, not the file.
    if (::inotify_add_watch(fd, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE) < 0) {
        appLog("WARN", "settings", "changes by other programs are not followed: " + folder.string() + ": " +
                                       std::strerror(errno));
        ::close(fd);
        return;
    }
    impl_->events.assign(fd);
    impl_->read();
}

SettingsFileWatcher::~SettingsFileWatcher() {
    impl_->stopped = true;
    boost::system::error_code ignored;
    impl_->timer.cancel();
    impl_->events.close(ignored);
}

}  // namespace corvane
