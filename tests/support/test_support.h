#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

// Helpers of the tests and the benchmarks: child processes, waits with a
// deadline, temporary directories; everything on 127.0.0.1 only.
namespace testsupport {

using namespace std::chrono_literals;

// Absolute path of a file in the source tree, e.g. source_path("tools/sim_car.js").
std::string source_path(const std::string& relative);
// Path of the daemon binary of this build.
std::string daemon_path();

// Polls pred every few milliseconds until it holds or the timeout passes.
bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
                std::chrono::milliseconds poll = 5ms);

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
// Names of the entries of a directory, sorted; empty when it cannot be read.
std::set<std::string> directory_entries(const std::string& dir);

// A child process in its own process group, its output collected line by line
// (with echo, copied to our standard error), stopped on destruction.
class ChildProcess {
public:
    ChildProcess(std::string name, std::vector<std::string> argv, bool echo = true);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Sends a signal to the whole process group.
    void signal(int sig);
    // SIGTERM, then after grace SIGKILL; the waitpid status (-1: reaped already).
    int stop(std::chrono::milliseconds grace = 3000ms);
    bool running();
    // Waits for the process to end by itself; the status, or -1 on timeout.
    int waitExit(std::chrono::milliseconds timeout);

    // The output lines so far in arrival order: all, or of one stream.
    std::vector<std::string> lines() const { return select(ANY); }
    std::vector<std::string> stdoutLines() const { return select(STDOUT); }
    std::vector<std::string> stderrLines() const { return select(STDERR); }
    // Waits for a line containing needle among the lines from index from on;
    // stores it in line when given. False on timeout.
    bool waitForLine(const std::string& needle, std::chrono::milliseconds timeout, std::string* line = nullptr,
                     size_t from = 0);
    // Writes text to the process's standard input (kept open until stop).
    bool writeStdin(const std::string& text);
    size_t countLines(const std::string& needle) const;
    size_t lineCount() const;

private:
    enum Stream { ANY, STDOUT, STDERR };
    std::vector<std::string> select(Stream stream) const;
    void reader(int fd, Stream stream);

    std::string name_;
    bool echo_;
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::thread out_thread_, err_thread_;
    mutable std::mutex mutex_;
    std::atomic<int> closed_streams_{0};
    std::vector<std::pair<Stream, std::string>> lines_;
};

// A Node.js tool of tools/ printing {"event":"listening","port":N} once it
// listens, then a JSON line per event.
class NodePeer {
public:
    NodePeer(std::string name, std::string script, std::vector<std::string> args = {});
    // Starts the peer and waits (up to timeout) for its listening line.
    bool start(std::chrono::milliseconds timeout = 15000ms);
    int port() const { return port_; }
    ChildProcess& process() { return *process_; }
    // Writes one line to the peer's standard input (its control channel).
    void sendLine(const std::string& line);
    // Sends a control command and waits for the peer's {"event":"command"}
    // acknowledgement; returns it, or null on timeout.
    nlohmann::json command(const nlohmann::json& cmd, std::chrono::milliseconds timeout = 5000ms);
    // The events named name that the peer has printed so far, in order.
    std::vector<nlohmann::json> events(const std::string& name) const;
    // Waits until at least count such events are printed; true when they are.
    bool waitEvents(const std::string& name, size_t count, std::chrono::milliseconds timeout = 5000ms) const;
    // The index-th such event once it is printed; null on timeout.
    nlohmann::json event(const std::string& name, size_t index = 0, std::chrono::milliseconds timeout = 5000ms) const;

private:
    std::string name_, script_;
    std::vector<std::string> args_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = -1;
};

// A private mosquitto broker on 127.0.0.1 and a free port.
class MosquittoBroker {
public:
    ~MosquittoBroker() { stop(); }
    // Starts on port (0: a free one, the same on a restart) and waits until it accepts.
    bool start(int port = 0);
    void stop();
    int port() const { return port_; }
    // Its log (connections with their client id and options) while running.
    ChildProcess& process() { return *process_; }

private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

// A TCP port that was free a moment ago on 127.0.0.1, for peers that cannot
// report the port they picked.
int pick_free_port();
// A socket listening on 127.0.0.1 at a port the system picks (put in *port),
// for peers played on a raw socket; -1 when that fails.
int listen_loopback(int* port);
// The body of a 200 answer to GET path on 127.0.0.1:port as JSON; null if none.
nlohmann::json http_get_json(int port, const std::string& path, std::chrono::milliseconds timeout = 2000ms);

}  // namespace testsupport
