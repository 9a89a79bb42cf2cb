// PlatformHttpClient against the simulated platform and camera over loopback.
#include "platform/platform_http_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
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
using testsupport::TempDir;

namespace {

class CurlEnvironment : public ::testing::Environment {
public:
    void SetUp() override { PlatformHttpClient::globalInit(); }
};
const auto* const kCurlEnvironment = ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A client whose failure lines are captured.
class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(platform_.start());
        ASSERT_TRUE(camera_.start());
        makeClient();
    }

    void makeClient() { client_ = std::make_unique<PlatformHttpClient>(config_); }

    // The logged failures, without their "HTTP error: " prefix.
    std::vector<std::string> errors() const {
        static const std::string kPrefix = "HTTP error: ";
        std::vector<std::string> texts;
        std::istringstream lines(log_.text());
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(kPrefix, 0) == 0) texts.push_back(line.substr(kPrefix.size()));
        return texts;
    }

    // Waits until the peer has reported count requests and returns them all.
    static std::vector<json> requests(NodePeer& peer, size_t count) {
        peer.waitEvents("request", count);
        return peer.events("request");
    }

    std::string platformUrl() const { return "http://127.0.0.1:" + std::to_string(platform_.port()); }
    std::string pictureUrl(int number) const {  // number below 10
        return "http://127.0.0.1:" + std::to_string(camera_.port()) + "/photo/101SIYI_IMG/IMG_000" +
               std::to_string(number) + ".jpg";
    }
    std::string photoFile() {
        const std::string path = dir_.file("pic.jpg");
        testsupport::write_file(path, std::string(3000, 'p'));
        return path;
    }

    testsupport::LogCapture log_;
    NodePeer platform_{"platform", "sim_platform.js"};
    NodePeer camera_{"camera", "sim_camera.js"};
    TempDir dir_;
    AppConfig config_;
    std::unique_ptr<PlatformHttpClient> client_;
};

using HttpUpload = HttpClientTest;
using HttpDownload = HttpClientTest;

TEST_F(HttpUpload, SendsTheFilePartFirstThenTheFieldsWholeInKeyOrder) {
    const std::string with_zero("left\0right", 10);
    std::string response;
    long status = -1;
    ASSERT_TRUE(client_->postFile(platformUrl() + "/media/upload?mission=7", photoFile(),
                                  {{"b", "2"}, {"a", with_zero}}, "photo", &response, &status));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(json::parse(response).value("msg", ""), "success");
    // An empty field name gives the configured one, read at each request.
    ASSERT_TRUE(client_->postFile(platformUrl() + "/a", photoFile(), {}, "", nullptr));
    config_.platform.upload_file_field = "upfile";
    ASSERT_TRUE(client_->postFile(platformUrl() + "/b", photoFile(), {}, "", nullptr));

    const auto sent = requests(platform_, 3);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0]["path"], "/media/upload");
    EXPECT_EQ(sent[0]["query"], "mission=7");
    json parts = sent[0]["parts"];
    parts[0].erase("mime_type");
    parts[0].erase("sha1");
    EXPECT_EQ(parts, json::parse(R"([{"name":"photo","filename":"pic.jpg","size":3000},
        {"name":"a","value":"left\u0000right"},{"name":"b","value":"2"}])"));
    EXPECT_EQ(sent[1]["parts"][0]["name"], "file");
    EXPECT_EQ(sent[2]["parts"][0]["name"], "upfile");
    EXPECT_TRUE(errors().empty());
}

TEST_F(HttpUpload, ConcurrentCallersAreServedOneAtATime) {
    ASSERT_TRUE(platform_.command({{"cmd", "delay"}, {"ms", 150}}).is_object());
    const std::string file = photoFile();
    std::atomic<int> succeeded{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
        callers.emplace_back([&, i] {
            std::string response;
            if (client_->postFile(platformUrl() + "/media/" + std::to_string(i), file, {}, "", &response) &&
                json::parse(response).value("msg", "") == "success")
                ++succeeded;
        });
    }
    for (auto& t : callers)
        t.join();
    EXPECT_EQ(succeeded, 4);
    const auto sent = requests(platform_, 4);
    ASSERT_EQ(sent.size(), 4u);
    // Each request arrived when no other was open on the platform.
    for (const auto& r : sent)
        EXPECT_EQ(r["inflight"], 1) << r.dump();
}

TEST_F(HttpUpload, FailuresAreLoggedOnceWithTheReasonAndLeaveTheResponseAlone) {
    std::string response = "untouched";
    long status = -1;
    EXPECT_FALSE(
        client_->postFile(platformUrl() + "/media", dir_.file("absent.jpg"), {{"a", "1"}}, "", &response, &status));
    EXPECT_EQ(status, 0);
    const std::string nobody = "http://127.0.0.1:" + std::to_string(testsupport::pick_free_port());
    EXPECT_FALSE(client_->postFile(nobody + "/media", photoFile(), {}, "", &response));
    EXPECT_EQ(response, "untouched");
    const auto texts = errors();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].rfind("curl postFile error: ", 0), 0u) << texts[0];
    EXPECT_GT(texts[0].size(), std::string("curl postFile error: ").size());
    EXPECT_EQ(texts[1], "curl postFile error: Couldn't connect to server");
}

TEST_F(HttpDownload, PictureIsSavedWholeOverAnOlderFileAndAMissingDirectoryMakesNoRequest) {
    long status = -1;
    EXPECT_FALSE(client_->downloadFile(pictureUrl(1), dir_.file("no/such/dir/pic.jpg"), &status));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(errors().empty());

    const std::string path = dir_.file("pic.jpg");
    testsupport::write_file(path, std::string(10000, 'x'));
    ASSERT_TRUE(client_->downloadFile(pictureUrl(3), path, &status));
    EXPECT_EQ(status, 200);
    const auto served = requests(camera_, 1);
    ASSERT_EQ(served.size(), 1u);  // the failed download made no request
    const std::string bytes = testsupport::read_file(path);
    ASSERT_EQ(bytes.size(), served[0]["size"].get<size_t>());
    EXPECT_EQ(bytes.substr(0, 2), "\xff\xd8");
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\xff\xd9");
}

// The status is handed to the caller; the body is the response or the file.
TEST_F(HttpClientTest, ErrorStatusesAreCompletedTransfers) {
    ASSERT_TRUE(platform_.command({{"cmd", "mode"}, {"mode", "error"}, {"status", 503}}).is_object());
    std::string response;
    long status = 0;
    EXPECT_TRUE(client_->postFile(platformUrl() + "/media", photoFile(), {}, "", &response, &status));
    EXPECT_EQ(status, 503);
    EXPECT_EQ(json::parse(response).value("msg", ""), "simulated failure");

    ASSERT_TRUE(camera_.command({{"cmd", "missing"}, {"number", 5}}).is_object());
    EXPECT_TRUE(client_->downloadFile(pictureUrl(5), dir_.file("five.jpg"), &status));
    EXPECT_EQ(status, 404);
    EXPECT_EQ(testsupport::read_file(dir_.file("five.jpg")), R"({"code":404,"msg":"IMG_0005.jpg not found"})");
    EXPECT_TRUE(errors().empty());
}

TEST_F(HttpDownload, BrokenOffTransferFailsAndLeavesThePartForTheCaller) {
    ASSERT_TRUE(camera_.command({{"cmd", "truncate"}, {"number", 6}}).is_object());
    const std::string path = dir_.file("six.jpg");
    long status = -1;
    EXPECT_FALSE(client_->downloadFile(pictureUrl(6), path, &status));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0].rfind("curl download error: ", 0), 0u) << errors()[0];
    const auto served = requests(camera_, 1);
    ASSERT_EQ(served.size(), 1u);
    EXPECT_EQ(testsupport::read_file(path).size(), served[0]["size"].get<size_t>());
    // /dev/full opens but refuses every write, like a full disk.
    EXPECT_FALSE(client_->downloadFile(pictureUrl(7), "/dev/full"));
    EXPECT_EQ(errors().at(1), "curl download error: Failed writing received data to disk/application");
}

// Each kind has its own timeout setting, read at each request.
TEST_F(HttpClientTest, HangingPeersTimeOut) {
    config_.platform.timeout.post_file = 1;
    config_.platform.timeout.download = 1;
    ASSERT_TRUE(platform_.command({{"cmd", "mode"}, {"mode", "hang"}}).is_object());
    ASSERT_TRUE(camera_.command({{"cmd", "hang"}}).is_object());
    for (const bool upload : {true, false}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(upload ? client_->postFile(platformUrl() + "/media", photoFile(), {}, "", nullptr)
                            : client_->downloadFile(pictureUrl(8), dir_.file("eight.jpg")));
        EXPECT_GE(seconds_since(start), 0.9);
        EXPECT_LT(seconds_since(start), 5.0);
    }
    const std::vector<std::string> expected{"curl postFile error: Timeout was reached",
                                            "curl download error: Timeout was reached"};
    EXPECT_EQ(errors(), expected);
    // The platform did receive the whole upload before it stopped answering.
    EXPECT_EQ(requests(platform_, 1).at(0)["answer"], "hang");
}

}  // namespace
