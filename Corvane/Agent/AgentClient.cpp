// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Agent/AgentClient.hpp"

#include <fcntl.h>
#include <poll.h>
#include <linux/close_range.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "CorvaneCore/Support/JSONReader.hpp"
#include "CorvaneCore/Support/XDGPaths.hpp"

extern char** environ;

namespace corvane {

namespace json = boost::json;
using namespace std::chrono_literals;

AgentClient::AgentClient() : AgentClient(Options{}) {}

AgentClient::AgentClient(Options options) : options_(std::move(options)) {
    if (connectOnce()) return;
    if (!options_.start) throw AgentError("the Corvane agent is not running (" + options_.socket.string() + ")");
    startAgent();
}

std::filesystem::path AgentClient::defaultProgram() {
    if (const char* path = std::getenv("CORVANE_AGENT"); path && *path) return path;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const auto beside = self.parent_path() / "corvane-agent";
        if (::access(beside.c_str(), X_OK) == 0) return beside;
    }
    return "corvane-agent";
}

bool AgentClient::connectOnce() {
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = options_.socket.string();
    if (path.size() >= sizeof addr.sun_path) throw AgentError("the agent's socket path is too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (!fd.valid() || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno == EACCES || errno == EPERM) throw AgentError("permission denied: " + path + " is another user's agent");
        return false;
    }
    fd_ = std::move(fd);
    buffered_.clear();
    return true;
}

namespace {

// Starts `program` in a session of its own, not a child of this process: it
// outlives the command, and a terminal's Ctrl-C does not reach it. Throws when
// it could not be run at all (missing, not executable).
void spawnDetached(const std::filesystem::path& program, const std::filesystem::path& socket) {
    const std::filesystem::path logFolder = xdgStateHome() / "corvane";
    std::error_code ec;
    std::filesystem::create_directories(logFolder, ec);
    const std::string log = (logFolder / "agent.log").string();
    const std::string exe = program.string(), socketText = socket.string();
    std::vector<char*> argv{const_cast<char*>(exe.c_str()), const_cast<char*>("--socket"), const_cast<char*>(socketText.c_str()), nullptr};
    // The program's errno comes back through this pipe when exec fails; a successful exec closes it.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) throw AgentError(std::string("cannot start the Corvane agent: ") + std::strerror(errno));
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        throw AgentError(std::string("cannot start the Corvane agent: ") + std::strerror(errno));
    }
    if (child == 0) {
        ::close(report[0]);
        ::setsid();
        if (::fork() != 0) ::_exit(0);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out >= 0 ? out : in, STDOUT_FILENO);
        ::dup2(out >= 0 ? out : in, STDERR_FILENO);
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);  // the report pipe closes only at exec
        ::execvp(exe.c_str(), argv.data());
        const int error = errno;
        (void)!::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n == static_cast<ssize_t>(sizeof error)) {
        throw AgentError("cannot start the Corvane agent (" + exe + "): " + std::strerror(error));
    }
}

}  // namespace

void AgentClient::checkInterrupt() const {
    if (options_.interrupt < 0) return;
    pollfd p{options_.interrupt, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0) throw AgentError("given up on the Corvane agent");
}

void AgentClient::startAgent() {
    const auto folder = options_.socket.parent_path();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    ::chmod(folder.c_str(), 0700);  // a new runtime folder of ours: nobody else's business
    FileDescriptor lock(::open(AgentEndpoint::startLockPath(options_.socket).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    const auto deadline = std::chrono::steady_clock::now() + options_.startWait;
    // One client starts it; the others wait for that start, then connect.
    while (lock.valid() && ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (std::chrono::steady_clock::now() > deadline) throw AgentError("another program is starting the Corvane agent and has not finished");
        checkInterrupt();
        std::this_thread::sleep_for(20ms);
    }
    if (connectOnce()) return;
    const auto program = options_.program.value_or(defaultProgram());
    spawnDetached(program, options_.socket);
    while (std::chrono::steady_clock::now() < deadline) {
        if (connectOnce()) return;
        checkInterrupt();
        std::this_thread::sleep_for(20ms);
    }
    throw AgentError("the Corvane agent (" + program.string() + ") did not start; its log is " +
                     (xdgStateHome() / "corvane" / "agent.log").string());
}

std::optional<std::string> AgentClient::readLine(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (const auto newline = buffered_.find('\n'); newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p[2] = {{fd_.get(), POLLIN, 0}, {options_.interrupt, POLLIN, 0}};
        const int ready = ::poll(p, options_.interrupt < 0 ? 1 : 2, static_cast<int>(std::min<std::int64_t>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) throw AgentError(std::string("the agent's connection failed: ") + std::strerror(errno));
        if (ready <= 0) continue;
        checkInterrupt();
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char chunk[65536];
        const ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) throw AgentError("the Corvane agent closed the connection");
        buffered_.append(chunk, static_cast<std::size_t>(n));
        if (buffered_.size() > AgentEndpoint::maxMessageBytes) throw AgentError("the agent sent a message longer than allowed");
    }
}

json::value AgentClient::call(const std::string& op, json::object args, std::chrono::milliseconds limit) {
    const std::int64_t id = nextId_++;
    const std::string line = json::serialize(json::object{{"id", id}, {"op", op}, {"args", std::move(args)}}) + "\n";
    for (std::size_t done = 0; done < line.size();) {
        const ssize_t n = ::send(fd_.get(), line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw AgentError("the Corvane agent closed the connection");
        done += static_cast<std::size_t>(n);
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto text = readLine(deadline);
        if (!text) throw AgentError("the Corvane agent did not answer " + op + " in time");
        boost::system::error_code ec;
        json::value message = readJSON(*text, ec);
        if (ec || !message.is_object()) throw AgentError("the agent sent something that is not a message");
        json::object& o = message.as_object();
        if (o.contains("event")) {
            events_.push_back(std::move(o));
            continue;
        }
        const json::value* replyId = o.if_contains("id");
        const bool ours = replyId && replyId->is_int64() && replyId->as_int64() == id;
        const json::value* ok = o.if_contains("ok");
        if (!ours && replyId && !replyId->is_null()) continue;  // an earlier call's, given up on
        if (ok && ok->is_bool() && ok->as_bool()) return o.contains("result") ? o.at("result") : json::value();
        const json::value* error = o.if_contains("error");
        throw AgentError(error && error->is_string() ? std::string(error->as_string()) : "the agent refused " + op);
    }
}

std::optional<json::object> AgentClient::nextEvent(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (events_.empty()) {
        auto text = readLine(deadline);
        if (!text) return std::nullopt;
        boost::system::error_code ec;
        json::value message = readJSON(*text, ec);
        if (!ec && message.is_object() && message.as_object().contains("event")) events_.push_back(std::move(message.as_object()));
    }
    json::object event = std::move(events_.front());
    events_.pop_front();
    return event;
}

}  // namespace corvane
