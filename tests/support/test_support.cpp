#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace testsupport {

std::string source_path(const std::string& relative) { return std::string(KOVO_SOURCE_DIR) + "/" + relative; }

std::string daemon_path() { return std::string(KOVO_BINARY_DIR) + "/kovo_sio_client"; }

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout, std::chrono::milliseconds poll) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(poll);
    }
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/kovo_test_XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = made;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

std::set<std::string> directory_entries(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        names.insert(entry.path().filename());
    return names;
}

ChildProcess::ChildProcess(std::string name, std::vector<std::string> argv, bool echo)
    : name_(std::move(name)), echo_(echo) {
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        setpgid(0, 0);
        // A test or bench that crashes or is killed takes its peers with it.
        // The signal comes when the forking thread ends: peers are started
        // from the test's own thread.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        dup2(in_pipe[0], STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        execvp(args[0], args.data());
        static const char kMessage[] = "exec failed\n";
        (void)!write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        _exit(127);
    }
    setpgid(pid_, pid_);
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(in_pipe[0]);
    stdin_fd_ = in_pipe[1];
    out_thread_ = std::thread([this, fd = out_pipe[0]] { reader(fd, STDOUT); });
    err_thread_ = std::thread([this, fd = err_pipe[0]] { reader(fd, STDERR); });
}

ChildProcess::~ChildProcess() {
    stop();
    if (out_thread_.joinable()) out_thread_.join();
    if (err_thread_.joinable()) err_thread_.join();
}

void ChildProcess::reader(int fd, Stream stream) {
    std::string pending;
    char buf[4096];
    for (bool open = true; open;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        open = n > 0;
        if (open) pending.append(buf, static_cast<size_t>(n));
        // Whole lines; at the end also the last one, which may lack its line feed.
        for (size_t pos; (pos = pending.find('\n')) != std::string::npos || (!open && !pending.empty());) {
            std::string line = pending.substr(0, pos);
            pending.erase(0, pos == std::string::npos ? pos : pos + 1);
            if (echo_) std::cerr << "[" << name_ << (stream == STDERR ? "!" : "") << "] " << line << "\n";
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(stream, std::move(line));
        }
    }
    close(fd);
    ++closed_streams_;
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0 && !reaped_) kill(-pid_, sig);
}

bool ChildProcess::running() {
    if (pid_ <= 0 || reaped_) return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = st;
        return false;
    }
    return true;
}

int ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    if (!wait_until([this] { return !running(); }, timeout, 10ms)) return -1;
    // Let the readers drain the pipes (bounded: a grandchild may hold them).
    wait_until([this] { return closed_streams_ == 2; }, 2000ms);
    return status_;
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    if (stdin_fd_ >= 0) {
        close(stdin_fd_);
        stdin_fd_ = -1;
    }
    if (pid_ <= 0) return -1;
    if (!running()) return waitExit(0ms);
    signal(SIGTERM);
    if (waitExit(grace) == -1 && running()) {
        signal(SIGKILL);
        waitExit(5000ms);
    }
    kill(-pid_, SIGKILL);
    return status_;
}

bool ChildProcess::writeStdin(const std::string& text) {
    if (stdin_fd_ < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(stdin_fd_, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::vector<std::string> ChildProcess::select(Stream stream) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [from, line] : lines_)
        if (stream == ANY || from == stream) out.push_back(line);
    return out;
}

size_t ChildProcess::lineCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
}

bool ChildProcess::waitForLine(const std::string& needle, std::chrono::milliseconds timeout, std::string* line,
                               size_t from) {
    return wait_until(
        [&] {
            const std::vector<std::string> all = lines();
            for (; from < all.size(); ++from)
                if (all[from].find(needle) != std::string::npos) {
                    if (line != nullptr) *line = all[from];
                    return true;
                }
            return false;
        },
        timeout);
}

size_t ChildProcess::countLines(const std::string& needle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(
        lines_.begin(), lines_.end(), [&](const auto& l) { return l.second.find(needle) != std::string::npos; }));
}

NodePeer::NodePeer(std::string name, std::string script, std::vector<std::string> args)
    : name_(std::move(name)), script_(std::move(script)), args_(std::move(args)) {}

bool NodePeer::start(std::chrono::milliseconds timeout) {
    std::vector<std::string> argv{"node", source_path("tools/" + script_)};
    argv.insert(argv.end(), args_.begin(), args_.end());
    process_ = std::make_unique<ChildProcess>(name_, argv);
    std::string line;
    if (!process_->waitForLine("\"listening\"", timeout, &line)) return false;
    try {
        auto j = nlohmann::json::parse(line);
        port_ = j.at("port").get<int>();
    } catch (const std::exception&) {
        return false;
    }
    return port_ > 0;
}

void NodePeer::sendLine(const std::string& line) {
    if (process_) process_->writeStdin(line + "\n");
}

nlohmann::json NodePeer::command(const nlohmann::json& cmd, std::chrono::milliseconds timeout) {
    const size_t from = process_->lineCount();
    sendLine(cmd.dump());
    std::string line;
    if (!process_->waitForLine("\"event\":\"command\"", timeout, &line, from)) return nullptr;
    return nlohmann::json::parse(line, nullptr, false);
}

std::vector<nlohmann::json> NodePeer::events(const std::string& name) const {
    const std::string needle = "\"event\":\"" + name + "\"";
    std::vector<nlohmann::json> out;
    for (const auto& line : process_->stdoutLines())
        if (line.find(needle) != std::string::npos) out.push_back(nlohmann::json::parse(line, nullptr, false));
    return out;
}

bool NodePeer::waitEvents(const std::string& name, size_t count, std::chrono::milliseconds timeout) const {
    return wait_until([&] { return events(name).size() >= count; }, timeout);
}

nlohmann::json NodePeer::event(const std::string& name, size_t index, std::chrono::milliseconds timeout) const {
    return waitEvents(name, index + 1, timeout) ? events(name).at(index) : nlohmann::json();
}

static sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

int listen_loopback(int* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

int pick_free_port() {
    int port = 0;
    const int fd = listen_loopback(&port);
    if (fd >= 0) close(fd);
    return port;
}

static bool port_accepts(int port) {
    if (port <= 0) return false;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = loopback(port);
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

bool MosquittoBroker::start(int port) {
    if (port == 0) port = port_ != 0 ? port_ : pick_free_port();
    port_ = port;
    const std::string conf = dir_.file("mosquitto.conf");
    // "user root": run as root (CI), mosquitto would otherwise change user,
    // which clears the parent-death signal that stops it with the test.
    write_file(
        conf, "listener " + std::to_string(port_) + " 127.0.0.1\nallow_anonymous true\npersistence false\nuser root\n");
    process_ = std::make_unique<ChildProcess>("mosquitto", std::vector<std::string>{"mosquitto", "-c", conf});
    return wait_until([this] { return port_accepts(port_); }, 10000ms, 20ms);
}

void MosquittoBroker::stop() {
    if (process_) {
        process_->stop();
        process_.reset();
    }
    wait_until([this] { return !port_accepts(port_); }, 5000ms, 20ms);
}

nlohmann::json http_get_json(int port, const std::string& path, std::chrono::milliseconds timeout) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval wait{static_cast<time_t>(timeout.count() / 1000),
                       static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    const sockaddr_in addr = loopback(port);
    std::string answer;
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[65536];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    const size_t body = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.1 200 ", 0) != 0 || body == std::string::npos) return nullptr;
    return nlohmann::json::parse(answer.substr(body + 4), nullptr, false);
}

}  // namespace testsupport
