// Work of several threads at once on shared state, with nothing to assert:
// only ThreadSanitizer sees a lock not taken, so these run in the TSan job.
#include <functional>
#include <thread>
#include <vector>

#include "app/mission_fakes.h"
#include "app/thread_task_runner.h"
#include "monitor/stats_manager.h"

using namespace fakes;
using kovo::monitor::StatsManager;

// Car events and monitor ticks at the same time, photo workers and log
// uploads on the runner's threads.
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

// Hooks arrive from the link, monitor and web server threads while the
// dashboard renders; each family runs on a thread of its own.
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
