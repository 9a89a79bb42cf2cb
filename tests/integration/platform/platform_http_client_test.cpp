// PlatformHttpClient against the simulated platform and camera over loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform_http_client.h"
#include "platform_test_helpers.h"
#include "test_support.h"

using namespace std::chrono_literals;
using nlohmann::json;
using platformtest::peer_command;
using platformtest::peer_events;
using platformtest::wait_events;
using testsupport::NodePeer;
using testsupport::TempDir;

namespace {

class CurlEnvironment : public ::testing::Environment {
public:
    void SetUp() override { PlatformHttpClient::globalInit(); }
};
const auto* const curl_environment = ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A client whose error callback records every text it is handed.
class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(platform_.start());
        ASSERT_TRUE(camera_.start());
        config_.platform.url = platformUrl();
        makeClient();
    }

    void makeClient() {
        client_ = std::make_unique<PlatformHttpClient>(config_);
        client_->setOnError([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            errors_.push_back(text);
        });
    }

    std::vector<std::string> errors() {
        std::lock_guard<std::mutex> lock(mutex_);
        return errors_;
    }

    std::string platformUrl() const { return "http://127.0.0.1:" + std::to_string(platform_.port()); }
    std::string pictureUrl(int number) const {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04d.jpg", number);
        return "http://127.0.0.1:" + std::to_string(camera_.port()) + "/photo/101SIYI_IMG/" + name;
    }
    std::string photoFile(const std::string& content = std::string(3000, 'p')) {
        const std::string path = dir_.file("pic.jpg");
        testsupport::write_file(path, content);
        return path;
    }

    NodePeer platform_{"platform", "sim_platform.js"};
    NodePeer camera_{"camera", "sim_camera.js"};
    TempDir dir_;
    AppConfig config_;
    std::unique_ptr<PlatformHttpClient> client_;
    std::mutex mutex_;
    std::vector<std::string> errors_;
};

using HttpUpload = HttpClientTest;
using HttpPost = HttpClientTest;
using HttpDownload = HttpClientTest;

TEST_F(HttpUpload, SendsTheFilePartFirstThenTheFieldsInKeyOrder) {
    const std::string file = photoFile(std::string(3000, 'p'));
    std::string response;
    long status = -1;
    ASSERT_TRUE(client_->postFile(platformUrl() + "/media/upload?mission=7", file, {{"b", "2"}, {"a", "1"}},
                                  "photo", &response, &status));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(json::parse(response).value("msg", ""), "success");

    const auto requests = wait_events(platform_, "request", 1);
    ASSERT_EQ(requests.size(), 1u);
    const json& r = requests[0];
    EXPECT_EQ(r["method"], "POST");
    EXPECT_EQ(r["path"], "/media/upload");
    EXPECT_EQ(r["query"], "mission=7");
    ASSERT_EQ(r["parts"].size(), 3u);
    EXPECT_EQ(r["parts"][0]["name"], "photo");
    EXPECT_EQ(r["parts"][0]["filename"], "pic.jpg");
    EXPECT_EQ(r["parts"][0]["size"], 3000);
    EXPECT_EQ(r["parts"][1], (json{{"name", "a"}, {"value", "1"}}));
    EXPECT_EQ(r["parts"][2], (json{{"name", "b"}, {"value", "2"}}));
    EXPECT_TRUE(errors().empty());
}

TEST_F(HttpUpload, EmptyFieldNameUsesTheConfiguredUploadField) {
    const std::string file = photoFile();
    ASSERT_TRUE(client_->postFile(platformUrl() + "/a", file, "", nullptr));
    config_.platform.upload_file_field = "upfile";
    ASSERT_TRUE(client_->postFile(platformUrl() + "/b", file, "", nullptr));

    const auto requests = wait_events(platform_, "request", 2);
    ASSERT_EQ(requests.size(), 2u);
    ASSERT_EQ(requests[0]["parts"].size(), 1u);
    EXPECT_EQ(requests[0]["parts"][0]["name"], "file");
    EXPECT_EQ(requests[1]["parts"][0]["name"], "upfile");
}

TEST_F(HttpUpload, MissingFileFailsThroughTheErrorCallback) {
    std::string response = "untouched";
    long status = -1;
    EXPECT_FALSE(client_->postFile(platformUrl() + "/media", dir_.file("absent.jpg"), {{"a", "1"}}, "", &response,
                                   &status));
    EXPECT_EQ(response, "untouched");
    EXPECT_EQ(status, 0);
    const auto texts = errors();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("curl postFile error: ", 0), 0u) << texts[0];
    EXPECT_GT(texts[0].size(), std::string("curl postFile error: ").size());
    // libcurl finds out while sending: the platform sees the upload break off.
    const auto requests = wait_events(platform_, "request", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["answer"], "aborted");
}

TEST_F(HttpUpload, ErrorStatusStillCountsAsACompletedTransfer) {
    ASSERT_TRUE(peer_command(platform_, {{"cmd", "mode"}, {"mode", "error"}, {"status", 503}}));
    std::string response;
    long status = 0;
    EXPECT_TRUE(client_->postFile(platformUrl() + "/media", photoFile(), "", &response, &status));
    EXPECT_EQ(status, 503);
    EXPECT_EQ(json::parse(response).value("msg", ""), "simulated failure");
    EXPECT_TRUE(errors().empty());
}

TEST_F(HttpUpload, HangingPlatformTimesOut) {
    config_.platform.timeout.post_file = 1;
    ASSERT_TRUE(peer_command(platform_, {{"cmd", "mode"}, {"mode", "hang"}}));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client_->postFile(platformUrl() + "/media", photoFile(), "", nullptr));
    const double took = seconds_since(start);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 5.0);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], "curl postFile error: Timeout was reached");
    // The platform did receive the whole upload before it stopped answering.
    const auto requests = wait_events(platform_, "request", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["answer"], "hang");
}

TEST_F(HttpUpload, ConcurrentCallersAreServedOneAtATime) {
    ASSERT_TRUE(peer_command(platform_, {{"cmd", "delay"}, {"ms", 150}}));
    const std::string file = photoFile();
    std::atomic<int> succeeded{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
        callers.emplace_back([&, i] {
            std::string response;
            if (client_->postFile(platformUrl() + "/media/" + std::to_string(i), file, {}, "", &response) &&
                json::parse(response).value("msg", "") == "success")
                ++succeeded;
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(succeeded, 4);
    EXPECT_GE(seconds_since(start), 0.6);
    const auto requests = wait_events(platform_, "request", 4);
    ASSERT_EQ(requests.size(), 4u);
    // Each request arrived when no other was open on the platform.
    for (const auto& r : requests) EXPECT_EQ(r["inflight"], 1) << r.dump();
}

TEST_F(HttpUpload, FieldValuesAreSentWhole) {
    const std::string value("left\0right", 10);
    ASSERT_TRUE(client_->postFile(platformUrl() + "/media", photoFile(), {{"k", value}}, "", nullptr));
    const auto requests = wait_events(platform_, "request", 1);
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_EQ(requests[0]["parts"].size(), 2u);
    EXPECT_EQ(requests[0]["parts"][1]["value"].get<std::string>(), value);
}

TEST_F(HttpPost, JsonBodyGoesToTheBaseUrlGluedToTheEndpoint) {
    config_.platform.url = platformUrl() + "/base";
    makeClient();
    std::string response;
    long status = 0;
    ASSERT_TRUE(client_->postJson("api/report", R"({"k":"v"})", &response, &status));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(json::parse(response).value("code", 0), 200);
    const auto requests = wait_events(platform_, "request", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["path"], "/baseapi/report");
    EXPECT_EQ(requests[0]["content_type"], "application/json");
    EXPECT_EQ(requests[0]["body"], R"({"k":"v"})");
}

TEST_F(HttpPost, FormBodyKeepsTheDefaultContentTypeAndItsWholeLength) {
    const std::string body("a=1&b=x%20y\0tail", 16);
    ASSERT_TRUE(client_->postForm("/form", body, nullptr));
    const auto requests = wait_events(platform_, "request", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["path"], "/form");
    EXPECT_EQ(requests[0]["content_type"], "application/x-www-form-urlencoded");
    EXPECT_EQ(requests[0]["body"].get<std::string>(), body);
}

TEST_F(HttpPost, NullResponsePointerIsAcceptedByEveryKind) {
    EXPECT_TRUE(client_->postJson("/j", "{}", nullptr));
    EXPECT_TRUE(client_->postForm("/f", "a=1", nullptr));
    EXPECT_TRUE(client_->postFile(platformUrl() + "/p", photoFile(), {{"a", "1"}}, "", nullptr));
    EXPECT_TRUE(client_->downloadFile(pictureUrl(1), dir_.file("one.jpg")));
    EXPECT_EQ(wait_events(platform_, "request", 3).size(), 3u);
    EXPECT_TRUE(errors().empty());
}

TEST_F(HttpPost, RefusedConnectionNamesTheRequestKind) {
    config_.platform.url = "http://127.0.0.1:" + std::to_string(testsupport::pick_free_port());
    makeClient();
    std::string response = "untouched";
    EXPECT_FALSE(client_->postJson("/j", "{}", &response));
    EXPECT_FALSE(client_->postForm("/f", "a=1", &response));
    EXPECT_EQ(response, "untouched");
    const std::vector<std::string> expected{"curl post error: Couldn't connect to server",
                                            "curl form error: Couldn't connect to server"};
    EXPECT_EQ(errors(), expected);
}

TEST_F(HttpDownload, PictureIsSavedWholeOverAnOlderFile) {
    const std::string path = dir_.file("pic.jpg");
    testsupport::write_file(path, std::string(10000, 'x'));
    long status = 0;
    ASSERT_TRUE(client_->downloadFile(pictureUrl(3), path, &status));
    EXPECT_EQ(status, 200);
    const auto served = wait_events(camera_, "request", 1);
    ASSERT_EQ(served.size(), 1u);
    const std::string bytes = testsupport::read_file(path);
    ASSERT_EQ(bytes.size(), served[0]["size"].get<size_t>());
    EXPECT_EQ(bytes.substr(0, 2), "\xff\xd8");
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\xff\xd9");

    // The same number gives the same picture, another number another one.
    ASSERT_TRUE(client_->downloadFile(pictureUrl(3), dir_.file("again.jpg")));
    ASSERT_TRUE(client_->downloadFile(pictureUrl(4), dir_.file("other.jpg")));
    EXPECT_EQ(testsupport::read_file(dir_.file("again.jpg")), bytes);
    EXPECT_NE(testsupport::read_file(dir_.file("other.jpg")), bytes);
}

TEST_F(HttpDownload, NotFoundWithABodyIsACompletedDownload) {
    ASSERT_TRUE(peer_command(camera_, {{"cmd", "missing"}, {"number", 5}}));
    const std::string path = dir_.file("five.jpg");
    long status = 0;
    EXPECT_TRUE(client_->downloadFile(pictureUrl(5), path, &status));
    EXPECT_EQ(status, 404);
    EXPECT_EQ(testsupport::read_file(path), R"({"code":404,"msg":"IMG_0005.jpg not found"})");
    EXPECT_TRUE(errors().empty());
}

TEST_F(HttpDownload, MissingDirectoryFailsWithoutARequestOrMessage) {
    long status = -1;
    EXPECT_FALSE(client_->downloadFile(pictureUrl(1), dir_.file("no/such/dir/pic.jpg"), &status));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(errors().empty());
    // A request made afterwards is the first the camera sees.
    ASSERT_TRUE(client_->downloadFile(pictureUrl(2), dir_.file("two.jpg")));
    const auto served = wait_events(camera_, "request", 1);
    ASSERT_EQ(served.size(), 1u);
    EXPECT_EQ(served[0]["number"], 2);
}

TEST_F(HttpDownload, TransferBrokenOffFailsAndLeavesThePartForTheCaller) {
    ASSERT_TRUE(peer_command(camera_, {{"cmd", "truncate"}, {"number", 6}}));
    const std::string path = dir_.file("six.jpg");
    long status = -1;
    EXPECT_FALSE(client_->downloadFile(pictureUrl(6), path, &status));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0].rfind("curl download error: ", 0), 0u) << errors()[0];
    const auto served = wait_events(camera_, "request", 1);
    ASSERT_EQ(served.size(), 1u);
    EXPECT_EQ(testsupport::read_file(path).size(), served[0]["size"].get<size_t>());
}

TEST_F(HttpDownload, WriteFailureIsNotACompletedDownload) {
    // /dev/full opens but refuses every write, like a full disk.
    EXPECT_FALSE(client_->downloadFile(pictureUrl(7), "/dev/full"));
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], "curl download error: Failed writing received data to disk/application");
}

TEST_F(HttpDownload, HangingCameraTimesOut) {
    config_.platform.timeout.download = 1;
    ASSERT_TRUE(peer_command(camera_, {{"cmd", "hang"}}));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client_->downloadFile(pictureUrl(8), dir_.file("eight.jpg")));
    const double took = seconds_since(start);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 5.0);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], "curl download error: Timeout was reached");
}

}  // namespace
