#pragma once

#include <functional>
#include <string>

// A minimal HTTP/1.1 server: one request per connection, one connection at a
// time, on a thread of its own. It routes to the handlers it is given and
// frames their results.
class WebServer {
public:
    using Handler = std::function<std::string()>;
    using BodyHandler = std::function<std::string(const std::string&)>;

    WebServer();
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    bool start(int port, Handler stats_handler, Handler missions_handler, Handler dashboard_handler,
               BodyHandler config_handler);
    void stop();

    // Implementation members are the monitor's own (see the .cpp).
};
