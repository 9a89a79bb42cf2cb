#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.h"

namespace testsupport {

// The daemon between a private broker and its simulated peers (px4ctrl,
// camera, platform, car), all on loopback. The public members are set before
// start(); a peer can be stopped and started again on its port.
struct DaemonRig {
    TempDir work, tasks;
    MosquittoBroker broker;
    std::unique_ptr<NodePeer> px4, camera, platform, car;
    std::unique_ptr<ChildProcess> daemon;
    const int web_port = pick_free_port();
    // Each step outlasts the monitor loop's one-second tick, as in flight.
    std::vector<std::string> px4_args{"--phase-ms", "1200", "--photos", "both"};
    std::vector<std::string> car_args{"--heights", "1.5,3", "--quiet-realtime"};
    // With --mqtt-proxy-port, the daemon reaches the broker through the relay.
    std::vector<std::string> platform_args;
    // Put before the daemon's command line, e.g. {"/usr/bin/env", "VAR=value"}.
    std::vector<std::string> daemon_prefix;

    // A peer of tools/ listening on port (0: any); null when it does not start.
    static std::unique_ptr<NodePeer> peer(const char* name, const char* script, std::vector<std::string> args,
                                          int port = 0) {
        args.insert(args.end(), {"--port", std::to_string(port)});
        auto p = std::make_unique<NodePeer>(name, script, std::move(args));
        return p->start() ? std::move(p) : nullptr;
    }
    void startPx4(const std::vector<std::string>& extra = {}, int port = 0) {
        std::vector<std::string> args = px4_args;
        args.insert(args.end(), {"--task-parent", tasks.path()});
        args.insert(args.end(), extra.begin(), extra.end());
        px4 = peer("px4ctrl", "sim_px4ctrl.js", args, port);
    }
    // px4ctrl stopped and started again on its port; true once the daemon
    // logged in again.
    bool restartPx4(const std::vector<std::string>& extra) {
        const int port = px4->port();
        px4.reset();
        startPx4(extra, port);
        return px4 && px4->waitEvents("login", 1, 15s);
    }
    void startDaemon() {
        std::vector<std::string> argv = daemon_prefix;
        argv.insert(argv.end(), {daemon_path(), "--config", work.file("config.json")});
        daemon = std::make_unique<ChildProcess>("daemon", argv);
    }
    // Starts the broker, the peers and the daemon; true once the daemon runs
    // and is logged in to px4ctrl and connected to the car.
    bool start() {
        if (!broker.start()) return false;
        startPx4();
        camera = peer("camera", "sim_camera.js", {});
        std::vector<std::string> args = platform_args;
        args.insert(args.end(), {"--mqtt-url", "mqtt://127.0.0.1:" + std::to_string(broker.port())});
        platform = peer("platform", "sim_platform.js", args);
        if (!px4 || !camera || !platform || !platform->waitEvents("mqtt_subscribed", 1, 10s)) return false;
        std::vector<std::string> car_argv = car_args;
        car_argv.insert(car_argv.end(),
                        {"--upload-url", "http://127.0.0.1:" + std::to_string(platform->port()) + "/media/upload"});
        car = peer("car", "sim_car.js", car_argv);
        if (!car) return false;
        const bool relayed = std::count(args.begin(), args.end(), "--mqtt-proxy-port") > 0;
        const nlohmann::json config = {
            {"px4ctrl", {{"port", px4->port()}}},
            {"socketio",
             {{"uri", "http://127.0.0.1:" + std::to_string(car->port())},
              {"reconnect_attempts", -1},
              {"reconnect_delay_ms", 100}}},
            {"mqtt", {{"port", relayed ? platform->event("mqtt_proxy")["port"] : nlohmann::json(broker.port())}}},
            {"platform", {{"url", "http://127.0.0.1:" + std::to_string(platform->port())}, {"site_id", "site-7"}}},
            {"siyi", {{"ip", "127.0.0.1"}, {"http_port", camera->port()}, {"download_timeout_ms", 1000}}},
            {"stats", {{"web_port", web_port}, {"bind_address", "127.0.0.1"}}},
            {"spool", {{"dir", work.file("spool")}}},
        };
        write_file(work.file("config.json"), config.dump());
        startDaemon();
        return daemon->waitForLine("kovo_sio_client started.", 10s) && px4->waitEvents("login", 1, 10s) &&
               car->waitEvents("connection", 1, 10s);
    }

    // Sends the car's mission; true once px4ctrl takes off (after the
    // daemon's fixed 10 s start delay).
    bool startMission() {
        car->sendLine(R"({"cmd":"mission"})");
        return px4->event("kovo_command", 0, 20s).is_object() && px4->event("phase", 0, 5s).is_object();
    }
    nlohmann::json stats() const { return http_get_json(web_port, "/api/stats"); }
    // The newest mission of /api/missions once it is over (what there was at
    // the timeout otherwise).
    nlohmann::json outcome() const {
        nlohmann::json last;
        wait_until(
            [&] {
                const nlohmann::json missions = http_get_json(web_port, "/api/missions");
                last = missions.is_array() && !missions.empty() ? missions.back() : nlohmann::json();
                return last.is_object() && last["status"] != "running";
            },
            40s, 100ms);
        return last;
    }
    // The status codes the platform received over MQTT, in order.
    std::vector<std::string> platformCodes() const {
        std::vector<std::string> codes;
        for (const nlohmann::json& r : platform->events("mqtt_report"))
            if (r["report"]["platformCmd"] == "UploadUavStatusHistory")
                codes.push_back(r["report"]["parms"]["uavStatusCode"]);
        return codes;
    }
    bool platformGot(const std::string& code, std::chrono::milliseconds timeout = 10s) const {
        return wait_until(
            [&] {
                const auto codes = platformCodes();
                return std::find(codes.begin(), codes.end(), code) != codes.end();
            },
            timeout, 50ms);
    }
    // The car asks whether the UAV may be rebooted: the answer, "" when none comes.
    std::string askCanReboot() {
        const auto answers = [&] {
            std::vector<std::string> found;
            for (nlohmann::json e : car->events("received"))
                if (e["name"] == "car_uav_can_reboot_uav") found.push_back(e["payload"].value("can_reboot_uav", "?"));
            return found;
        };
        const size_t before = answers().size();
        car->sendLine(R"({"cmd":"reboot"})");
        std::vector<std::string> now;
        wait_until([&] { return (now = answers()).size() > before; }, 5s, 20ms);
        return now.size() > before ? now.back() : "";
    }
};

}  // namespace testsupport
