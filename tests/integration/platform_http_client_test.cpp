// PlatformHttpClient against the simulated platform and camera over loopback.
#include "platform/platform_http_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "log_capture.h"
#include "test_support.h"

using namespace kovo::config;
using namespace kovo::platform;

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::NodePeer;

namespace {

class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(platform_.start());
        ASSERT_TRUE(camera_.start());
        testsupport::write_file(photo_, std::string(3000, 'p'));
    }
    std::string platformUrl(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(platform_.port()) + path;
    }
    std::string pictureUrl(int number) const {  // number below 10
        return "http://127.0.0.1:" + std::to_string(camera_.port()) + "/photo/101SIYI_IMG/IMG_000" +
               std::to_string(number) + ".jpg";
    }
    bool post(const std::string& path, std::string* response = nullptr, long* status = nullptr) {
        return client_.postFile(platformUrl(path), photo_, {}, "", response, status);
    }

    testsupport::LogCapture log_;
    NodePeer platform_{"platform", "sim_platform.js"};
    NodePeer camera_{"camera", "sim_camera.js"};
    testsupport::TempDir dir_;
    const std::string photo_ = dir_.file("pic.jpg");
    AppConfig config_;
    PlatformHttpClient client_{config_};
};

}  // namespace

// A completed transfer hands any status and the body (response, or file
// replaced) to the caller; a failed one is logged once and leaves the
// response alone, a broken-off transfer's part left for the caller.
TEST_F(HttpClientTest, TransfersHandOverStatusAndBodyAndFailuresAreLoggedOnce) {
    const std::string with_zero("left\0right", 10);
    std::string response;
    long status = -1;
    ASSERT_TRUE(client_.postFile(platformUrl("/media/upload?mission=7"), photo_, {{"b", "2"}, {"a", with_zero}},
                                 "photo", &response, &status));
    // The file part comes first, then the fields whole in key order. An empty
    // field name gives the configured one, read at each request.
    ASSERT_TRUE(post("/a"));
    config_.platform.upload_file_field = "upfile";
    ASSERT_TRUE(post("/b"));
    json sent = platform_.event("request", 0);
    EXPECT_EQ(sent["path"], "/media/upload");
    EXPECT_EQ(sent["query"], "mission=7");
    sent["parts"][0].erase("mime_type");
    sent["parts"][0].erase("sha1");
    EXPECT_EQ(sent["parts"], json::parse(R"([{"name":"photo","filename":"pic.jpg","size":3000},
        {"name":"a","value":"left\u0000right"},{"name":"b","value":"2"}])"));
    EXPECT_EQ(platform_.event("request", 1)["parts"][0]["name"], "file");
    EXPECT_EQ(platform_.event("request", 2)["parts"][0]["name"], "upfile");

    ASSERT_TRUE(client_.downloadFile(pictureUrl(3), photo_, &status));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(testsupport::read_file(photo_).size(), camera_.event("request", 0)["size"].get<size_t>());

    ASSERT_TRUE(platform_.command({{"cmd", "mode"}, {"mode", "error"}, {"status", 503}}).is_object());
    response = "untouched";
    EXPECT_TRUE(post("/media", &response, &status));
    EXPECT_EQ(status, 503);
    EXPECT_EQ(json::parse(response).value("msg", ""), "simulated failure");
    ASSERT_TRUE(camera_.command({{"cmd", "missing"}, {"number", 5}}).is_object());
    EXPECT_TRUE(client_.downloadFile(pictureUrl(5), dir_.file("five.jpg"), &status));
    EXPECT_EQ(status, 404);
    EXPECT_EQ(testsupport::read_file(dir_.file("five.jpg")), R"({"code":404,"msg":"IMG_0005.jpg not found"})");
    EXPECT_EQ(log_.count("HTTP error: "), 0u);

    response = "untouched";
    EXPECT_FALSE(client_.postFile(platformUrl("/media"), dir_.file("absent.jpg"), {}, "", &response, &status));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(client_.postFile("http://127.0.0.1:" + std::to_string(testsupport::pick_free_port()), photo_, {}, "",
                                  &response));
    EXPECT_EQ(response, "untouched");
    status = -1;
    EXPECT_FALSE(client_.downloadFile(pictureUrl(1), dir_.file("no/such/dir/pic.jpg"), &status));
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(camera_.command({{"cmd", "truncate"}, {"number", 6}}).is_object());
    EXPECT_FALSE(client_.downloadFile(pictureUrl(6), dir_.file("six.jpg"), &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(testsupport::read_file(dir_.file("six.jpg")).size(), camera_.event("request", 2)["size"].get<size_t>());
    // /dev/full opens but refuses every write, like a full disk.
    EXPECT_FALSE(client_.downloadFile(pictureUrl(7), "/dev/full"));
    EXPECT_EQ(log_.count("HTTP error: "), 4u);
    EXPECT_EQ(log_.count("HTTP error: curl postFile error: Couldn't connect to server"), 1u);
    EXPECT_EQ(log_.count("HTTP error: curl download error: Failed writing received data to disk/application"), 1u);
}

// Callers of a kind are served one at a time; a hanging camera download
// times out and holds no upload up.
TEST_F(HttpClientTest, CallersTakeTurnsAndAHangingCameraHoldsNoUploadUp) {
    ASSERT_TRUE(platform_.command({{"cmd", "delay"}, {"ms", 150}}).is_object());
    std::atomic<int> succeeded{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i)
        callers.emplace_back([&] { succeeded += post("/media") ? 1 : 0; });
    for (auto& t : callers)
        t.join();
    EXPECT_EQ(succeeded, 4);
    // Each request arrived when no other was open on the platform.
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(platform_.event("request", i)["inflight"], 1) << i;

    config_.siyi.download_timeout_ms = 1500;
    ASSERT_TRUE(camera_.command({{"cmd", "hang"}}).is_object());
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration download_took{};
    std::thread download([&] {
        EXPECT_FALSE(client_.downloadFile(pictureUrl(8), dir_.file("eight.jpg")));
        download_took = std::chrono::steady_clock::now() - start;
    });
    ASSERT_TRUE(camera_.waitEvents("request", 1));
    EXPECT_TRUE(post("/media"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1400ms) << "uploaded while the camera hangs";
    download.join();
    EXPECT_GE(download_took, 1400ms);
    EXPECT_LT(download_took, 5s);
    EXPECT_EQ(log_.count("HTTP error: curl download error: Timeout was reached"), 1u);
}
