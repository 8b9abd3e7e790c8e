// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/EngineProcess.hpp"

#include "CorvaneCore/Diagnostics/LogRing.hpp"
#include "CorvaneCore/Support/FileDescriptor.hpp"
#include "CorvaneTunnel/EngineLog.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace corvane {

namespace {

bool sendAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// In the child, before exec: the engine gets the standard three and nothing
// else of the service (client connections, the listening socket, other pipes),
// whoever opened them without close-on-exec. Async-signal-safe.
void closeInheritedDescriptors(unsigned int highest) {
    if (::close_range(3, ~0U, 0) == 0) return;
    for (unsigned int fd = 3; fd <= highest; ++fd) ::close(static_cast<int>(fd));  // kernels before 5.9
}

}  // namespace

EngineProcess::EngineProcess(Options options) : options_(std::move(options)) {}

EngineProcess::~EngineProcess() { close(); }

void EngineProcess::start() {
    std::filesystem::create_directories(options_.workingDirectory);
    // Standard input is a socket so that the configuration can be written while
    // the start stays cancellable: shutting our end down wakes a blocked writer.
    int input[2], output[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) {
        throw EngineStartError(std::string("cannot create a socket pair: ") + strerror(errno));
    }
    if (pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        throw EngineStartError(std::string("cannot create a pipe: ") + strerror(errno));
    }
    if (pipe2(stopReading_, O_CLOEXEC) != 0) {
        for (int fd : {input[0], input[1], output[0], output[1]}) ::close(fd);
        throw EngineStartError(std::string("cannot create a pipe: ") + strerror(errno));
    }
    std::string exe = options_.executable.string(), dir = options_.workingDirectory.string();
    std::vector<char*> argv = {exe.data(), const_cast<char*>("run"), const_cast<char*>("-D"), dir.data(),
                               const_cast<char*>("-c"), const_cast<char*>("stdin"), const_cast<char*>("--disable-color"),
                               nullptr};
    auto closePipes = [&] {
        for (int fd : {input[0], input[1], output[0], output[1], stopReading_[0], stopReading_[1]}) ::close(fd);
        stopReading_[0] = stopReading_[1] = -1;
    };
    if (::access(exe.c_str(), X_OK) != 0) {
        int error = errno;
        closePipes();
        throw EngineStartError("cannot run " + exe + ": " + strerror(error));
    }
    const pid_t parent = ::getpid();
    rlimit files{};
    const unsigned int highestDescriptor =
        ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY ? static_cast<unsigned int>(files.rlim_cur) : 65536;
    // Signals stay blocked from the fork until the child has dropped the service's
    // handlers: a stop that reaches the child before exec would otherwise run them
    // there, and Asio's handler tells the service itself, through the pipe the
    // child still shares, that it was asked to quit.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid_ = ::fork();
    if (pid_ != 0) ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid_ < 0) {
        int error = errno;
        closePipes();
        pid_ = -1;
        throw EngineStartError(std::string("cannot start the engine: ") + strerror(error));
    }
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec. The engine ends with the
        // service even when the service is killed, so it never holds the
        // tunnel's routes and ports for nobody.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(126);
        // Its own process group, so that a terminal's Ctrl-C reaches the service, which then stops it in order.
        ::setpgid(0, 0);
        ::dup2(input[0], STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(output[1], STDERR_FILENO);
        closeInheritedDescriptors(highestDescriptor);
        // Default dispositions (the service ignores SIGPIPE; the engine must not inherit that), and only
        // then unblocked: a SIGTERM already pending ends the child as it would end the engine.
        struct sigaction byDefault {};
        byDefault.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &byDefault, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // Within the service's memory limit the kernel ends the engine first: it is what
        // a configuration can make large, and the service lives on to say why it ended.
        if (int adj = ::open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC); adj >= 0) {
            (void)!::write(adj, "500", 3);
            ::close(adj);
        }
        if (options_.account) becomeEngineAccount(*options_.account, parent);
        ::execve(exe.c_str(), argv.data(), environ);
        ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    {
        std::lock_guard lock(mutex_);
        exited_ = false;
        readerDone_ = false;
        foreignListener_.clear();
        closing_ = false;
        starting_ = true;  // an exit now fails the start; it is not a drop
    }
    reader_ = std::thread([this, fd = output[0]] { readOutput(fd); });
    waiter_ = std::thread([this] { awaitExit(); });
    // The configuration goes through standard input so the secret never touches
    // the disk, from a thread of its own: an engine that does not read it must
    // not keep a stop waiting. A failed write means the engine died: the wait
    // below reports why.
    input_ = input[1];
    writer_ = std::thread([fd = input[1], &configuration = options_.configuration] {
        if (sendAll(fd, configuration)) ::shutdown(fd, SHUT_WR);
    });

    const auto deadline = std::chrono::steady_clock::now() + options_.startTimeout;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (exited_) {
                std::string why = lastError_.empty() ? "the engine exited with status " + std::to_string(exitStatus_) : lastError_;
                const int status = exitStatus_;
                lock.unlock();
                close();
                throw EngineStartError(why, status);
            }
            changed_.wait_for(lock, std::chrono::milliseconds(50), [this] { return exited_ || cancelled_.load(); });
        }
        if (cancelled_.load()) {
            close();
            throw EngineStartError("the start was cancelled");
        }
        if (controlAPIAnswers()) {
            std::lock_guard lock(mutex_);
            if (!exited_) {
                starting_ = false;
                return;
            }
        }
        if (std::chrono::steady_clock::now() > deadline) {
            std::string why = "the engine did not open its control API in time";
            {
                std::lock_guard lock(mutex_);
                if (!foreignListener_.empty()) why += " (" + foreignListener_ + ")";
            }
            close();
            throw EngineStartError(why);
        }
    }
}

bool EngineProcess::controlAPIAnswers() const { return controlRequest("GET", "/") == 200; }

std::uint32_t EngineProcess::controlOwner() const noexcept {
    return options_.account ? options_.account->uid : static_cast<std::uint32_t>(::geteuid());
}

std::optional<std::vector<LoopbackListener>> EngineProcess::engineListeners() const {
    ListenerExpectation expected{.uid = controlOwner()};
    if (pid_ > 0) expected.inodes = socketInodesOf(pid_);
    ListenerCheck check = checkLoopbackListener(options_.controlPort, expected);
    if (check) return std::move(check.listeners);
    if (!check.nobodyListens) {
        std::lock_guard lock(mutex_);
        foreignListener_ = *check.refusal;
    }
    return std::nullopt;
}

int EngineProcess::controlRequest(std::string_view method, std::string_view path) const {
    // The port was free when it was chosen, but anyone may have bound it since:
    // the secret goes only to the engine's own listener, the same one before the
    // connection and after it (so it cannot have been swapped in between).
    const auto before = engineListeners();
    if (!before) return 0;
    FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.controlPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{1, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 0;
    if (engineListeners() != before) return 0;
    const std::string request = std::string(method) + " " + std::string(path) +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + options_.controlSecret +
                                "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    if (!sendAll(fd.get(), request)) return 0;
    char reply[64] = {0};
    ssize_t n = ::recv(fd.get(), reply, sizeof reply - 1, 0);
    // "HTTP/1.1 200 OK"
    if (n < 12 || std::strncmp(reply, "HTTP/1.", 7) != 0 || reply[8] != ' ') return 0;
    return std::atoi(reply + 9);
}

void EngineProcess::readOutput(int fd) {
    auto take = [this](std::string_view raw) {
        std::string line = boundedEngineLine(stripColour(raw));
        if (line.empty()) return;
        const LogLine parsed = parseEngineLogLine(line, std::chrono::system_clock::now());
        const bool fatal = announcesEngineEnd(parsed);
        if (fatal || LogRing::rank(parsed.level) >= LogRing::rank("ERROR")) {
            std::lock_guard lock(mutex_);
            lastError_ = line;
            if (fatal) lastFatal_ = line;
        }
        if (options_.onLine) options_.onLine(std::move(line));
    };
    std::string pending;
    bool cutting = false;  // the rest of a line that went out cut already
    char buffer[8192];
    for (;;) {
        pollfd watched[2] = {{fd, POLLIN, 0}, {stopReading_[0], POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (watched[1].revents != 0) break;  // the engine is gone; what still holds its output is not ours to wait for
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0, newline;
        while ((newline = pending.find('\n', start)) != std::string::npos) {
            if (!std::exchange(cutting, false)) take(std::string_view(pending).substr(start, newline - start));
            start = newline + 1;
        }
        pending.erase(0, start);
        // A line longer than the log keeps goes out cut at once; the rest of it is never held.
        if (pending.size() > 2 * maxEngineLineBytes) {
            if (!std::exchange(cutting, true)) take(pending);
            pending.clear();
        }
    }
    ::close(fd);
    {
        std::lock_guard lock(mutex_);
        readerDone_ = true;
    }
    changed_.notify_all();
}

void EngineProcess::awaitExit() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    bool unexpected;
    std::string lastError;
    {
        std::unique_lock lock(mutex_);
        // Its last lines (a FATAL one, say) come with the end of its output, normally right away. A process
        // it left behind may keep that open for as long as it likes: then the reader stops.
        if (!changed_.wait_for(lock, std::chrono::milliseconds(500), [this] { return readerDone_; })) {
            (void)!::write(stopReading_[1], "x", 1);
            changed_.wait(lock, [this] { return readerDone_; });
        }
        exited_ = true;
        exitStatus_ = code;
        unexpected = !closing_ && !starting_;
        lastError = lastFatal_;
    }
    changed_.notify_all();
    if (unexpected && options_.onUnexpectedExit) options_.onUnexpectedExit(code, lastError);
}

void EngineProcess::cancel() {
    cancelled_.store(true);
    changed_.notify_all();
}

void EngineProcess::close() {
    if (pid_ <= 0) return;
    {
        std::unique_lock lock(mutex_);
        closing_ = true;
        if (!exited_) {
            ::kill(pid_, SIGTERM);
            if (!changed_.wait_for(lock, options_.closeGrace, [this] { return exited_; })) {
                ::kill(pid_, SIGKILL);
                changed_.wait(lock, [this] { return exited_; });
            }
        }
    }
    if (reader_.joinable()) reader_.join();
    if (waiter_.joinable()) waiter_.join();
    for (int& fd : stopReading_) {
        if (fd >= 0) ::close(std::exchange(fd, -1));
    }
    if (writer_.joinable()) {
        // The engine is gone, but a process it left behind may still hold its standard input.
        ::shutdown(input_, SHUT_RDWR);
        writer_.join();
    }
    if (input_ >= 0) ::close(std::exchange(input_, -1));
    pid_ = -1;
}

bool EngineProcess::isRunning() const {
    std::lock_guard lock(mutex_);
    return pid_ > 0 && !exited_;
}

std::string EngineProcess::lastErrorLine() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

}  // namespace corvane
