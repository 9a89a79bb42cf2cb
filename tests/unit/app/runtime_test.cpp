#include <atomic>
#include <chrono>
#include <thread>

#include "app/interruptible_clock.h"
#include "app/thread_task_runner.h"
#include "mission_fakes.h"

using namespace fakes;
using namespace std::chrono_literals;

TEST(InterruptibleClock, SleepsThenStopCutsEverySleepShort)
{
    InterruptibleClock clock;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(clock.sleep_for(20ms));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 20ms);

    std::atomic<bool> result{true};
    std::thread sleeper([&] { result = clock.sleep_for(60s); });
    std::this_thread::sleep_for(20ms);
    const auto t1 = std::chrono::steady_clock::now();
    clock.stop();
    sleeper.join();
    EXPECT_FALSE(result);
    EXPECT_LT(std::chrono::steady_clock::now() - t1, 5s);
    EXPECT_FALSE(clock.sleep_for(60s)) << "after stop, at once";
}

TEST(ThreadTaskRunner, JoinAllWaitsForTasksAndTheTasksTheyStart)
{
    std::atomic<int> done{0};
    ThreadTaskRunner runner;
    for (int i = 0; i < 20; ++i) {
        runner.run([&] {
            std::this_thread::sleep_for(1ms);
            runner.run([&] { ++done; });
            ++done;
        });
    }
    runner.joinAll();
    EXPECT_EQ(done.load(), 40);
}

// A whole mission with real threads: the start sequence, then the photo
// worker and the log upload on the runner's threads beside the monitor ticks.
TEST(ThreadedMission, RunsFromIntakeToLogUpload)
{
    TempDir dir;
    Harness h;
    ThreadTaskRunner runner;
    h.build(&runner);
    h.px4.setState(px4_state(2));
    h.px4.on_cmd = [&] { h.px4.setState(px4_state(3, "takeoff", -1, json::array(), dir.path())); };
    output_of([&] {
        h.core->intake.onCarMission({{"uploadMediaDataUrl", "http://u"},
                                     {"carFlightPointList", json::array({{{"id", "p0"}, {"z", "1"}}})}});
        runner.joinAll();  // px4ctrl has entered the mission
        const json photos = json::array({{{"camera", "siyi"}, {"height_idx", 0}}});
        for (const auto& [fs, sub] : std::vector<std::pair<int, std::string>>{{3, "takeoff"}, {4, "hover_photo"},
                                                                              {4, "hover_photo"}, {4, "hover_photo"},
                                                                              {6, "land_descend"}, {2, ""}}) {
            h.px4.setState(px4_state(fs, sub, 0, photos, dir.path()));
            h.core->monitor.tick();
        }
        runner.joinAll();
    });
    EXPECT_EQ(h.mqtt.statusCodes(), (Texts{"400", "406", "408", "410", "411", "414"}));
    EXPECT_EQ(h.http.postsTo("http://u").size(), 1u);
    EXPECT_EQ(h.http.postsTo("http://127.0.0.1:8087/carUavBackend/logFileArchive/saveUavNormalLog").size(), 1u);
    EXPECT_FALSE(h.active());
    EXPECT_TRUE(h.photosUploaded());
}

// Car events and monitor ticks at the same time: the lock rules keep the
// record consistent (run under ThreadSanitizer).
TEST(ThreadedMission, ConcurrentCarEventsAndTicks)
{
    Harness h;
    ThreadTaskRunner runner;
    h.clock.stopped = true;  // start sequences give up at once
    h.build(&runner);
    output_of([&] {
        std::thread car([&] {
            for (int i = 0; i < 200; ++i) {
                h.core->intake.onCarMission({{"carMissionId", std::to_string(i)}});
                h.core->reboot.onCarRebootQuery();
            }
        });
        std::thread monitor([&] {
            for (int i = 0; i < 200; ++i) {
                h.px4.setState(px4_state(i % 2 ? 3 : 2, "takeoff", 0, json::array({{{"height_idx", 0}}}), ""));
                h.core->monitor.tick();
            }
        });
        car.join();
        monitor.join();
        runner.joinAll();
    });
    EXPECT_EQ(h.car.reboot_answers.size(), 200u);
    EXPECT_EQ(h.car.realtime.size(), 200u);
}
