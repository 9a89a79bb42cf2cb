// Work of several threads at once on shared state, with little to assert:
// only ThreadSanitizer sees a lock not taken, so these run in the TSan job.
#include <functional>
#include <thread>
#include <vector>

#include "app/mission_fakes.h"
#include "app/thread_task_runner.h"
#include "config/shared_config.h"
#include "monitor/stats_manager.h"

using namespace fakes;
using kovo::monitor::StatsManager;

// Car events and monitor ticks at once, photo workers and log uploads on the runner's threads.
TEST(ThreadedMission, ConcurrentCarEventsTicksAndWorkers) {
    TempDir dir;
    Harness h;
    ThreadTaskRunner runner;
    h.clock.stopped = true;  // start sequences give up at once
    h.build(&runner);
    output_of([&] {
        std::thread car([&] {
            for (int i = 0; i < 200; ++i) {
                h.core->intake.onCarMission({{"carMissionId", std::to_string(i)}, {"uploadMediaDataUrl", "http://u"}});
                h.core->reboot.onCarRebootQuery();
            }
        });
        std::thread monitor([&] {
            for (int i = 0; i < 200; ++i) {
                const json photos = json::array({{{"local_path", "/etc/hostname"}, {"height_idx", 0}}});
                h.px4.setState(px4_state(i % 2 ? 3 : 2, "takeoff", 0, photos, dir.path()));
                h.core->monitor.tick();
            }
        });
        car.join();
        monitor.join();
        runner.joinAll();
    });
}

// Each family of hooks on a thread of its own while the dashboard renders.
TEST(StatsConcurrency, HooksWhileRendering) {
    StatsManager stats;
    const std::vector<std::function<void(int)>> hooks = {
        [&](int) { stats.onSioConnected(); },
        [&](int) { stats.onMqttDisconnected(); },
        [&](int i) {
            stats.onMissionStarted("m" + std::to_string(i), "s", "p", "a", 2, "", "t");
            stats.onMissionSuccess("e");
        },
        [&](int) { stats.onStatusTransition("a", "b"); },
        [&](int i) {
            kovo::monitor::InternalState state;
            state.fs = i;
            stats.updateInternalState(state);
        },
    };
    std::vector<std::thread> threads;
    for (const auto& hook : hooks) {
        threads.emplace_back([&hook] {
            for (int i = 0; i < 300; ++i)
                hook(i);
        });
    }
    for (int i = 0; i < 50; ++i)
        (void)stats.getDashboardHtml();
    for (auto& t : threads)
        t.join();
}

// Each pair read was published together (long values: a torn heap string would show).
TEST(SharedConfig, ReadersNeverSeeAHalfAssignedValue) {
    const std::string url[2] = {"http://a/" + std::string(200, 'a'), "http://b/" + std::string(300, 'b')};
    AppConfig initial;
    initial.platform.url = url[0];
    initial.platform.site_id = "site-0";
    SharedConfig shared{initial};
    testsupport::TempDir dir;
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&] {
            for (; !stop; ++reads) {
                const auto snap = shared.snapshot();
                const std::string u = snap->platform.url;
                const std::string site = snap->platform.site_id;
                if (!(u == url[0] && site == "site-0") && !(u == url[1] && site == "site-1")) ++bad;
            }
        });
    }
    for (int i = 1; i <= 100; ++i) {
        const std::string n = std::to_string(i % 2);
        shared.applyHotUpdate({{"platform", {{"url", url[i % 2]}, {"site_id", "site-" + n}}}}, dir.file("c.json"));
    }
    testsupport::wait_until([&] { return reads > 1000; }, std::chrono::seconds(5));
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(shared.snapshot()->platform.url, url[0]);
}
