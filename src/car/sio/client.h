#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "car/sio/message.h"
#include "car/sio/packet.h"

// A socket.io v2 client (Engine.IO revision 3, WebSocket transport only) for
// the default namespace, on libwebsockets. One service thread of its own runs
// the connection and every listener and handler; emit may be called from any
// thread.
namespace kovo::car::sio {

enum class CloseReason {
    NORMAL = 0,  // we closed, or the server closed without an error code
    DROP = 1,    // transport lost, ping timeout, error close code
};

class Client {
public:
    using EventHandler = std::function<void(const Event&)>;

    Client();
    // Closes the connection (close listener included) and stops the thread.
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Listeners; set them before connect.
    // The connection is usable: open packet and namespace connect received.
    void setOpenListener(std::function<void()> listener);
    // No connection could be made and no attempt is left, or the URI is bad.
    void setFailListener(std::function<void()> listener);
    // A reconnection attempt starts.
    void setReconnectingListener(std::function<void()> listener);
    // An opened connection ended; a reconnection may follow.
    void setCloseListener(std::function<void(CloseReason)> listener);
    // An ERROR packet of the default namespace; null when it carried no JSON.
    void setSocketErrorListener(std::function<void(const Message*)> listener);

    // No attempt is left after a failed connect or an unexpected end; with
    // the number of attempts made since the last open.
    void setGiveUpListener(std::function<void(unsigned attempts)> listener);

    // Attempts after a failed connect or an unexpected end; 0 means never,
    // a negative number without end.
    void setReconnectAttempts(int attempts);
    // Base of the wait before each attempt (see reconnect_delay).
    void setReconnectDelay(std::chrono::milliseconds delay);

    // Handler of an event of the default namespace; registering a name again
    // replaces its handler. Any thread.
    void on(const std::string& event, EventHandler handler);

    // Starts the service thread and the first attempt: returns at once.
    // Throws std::runtime_error when already started or when libwebsockets
    // cannot be set up.
    void connect(const std::string& uri, const std::map<std::string, std::string>& query);
    // Sends the event with one string argument; dropped (false) while the
    // connection is not open. Encoded on the caller's thread.
    bool emit(const std::string& event, const std::string& text);
    // Closes the connection (close listener with NORMAL) and stops the
    // service thread; a later connect starts afresh. From a listener or
    // handler it only asks the thread to finish.
    void close();

    // The Engine.IO session id of the open connection (empty otherwise).
    std::string sessionId() const;
    // The namespace every handler and emit uses.
    static const char* nsp() { return "/"; }

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kovo::car::sio
