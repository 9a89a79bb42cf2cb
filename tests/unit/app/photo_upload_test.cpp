#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "mission_fakes.h"
#include "test_support.h"

using fakes::json;
using namespace std::chrono_literals;

namespace {

const char* kUrl = "http://platform/upload";

class PhotoUpload : public ::testing::Test {
protected:
    void SetUp() override
    {
        h.config.mission.temp_file_prefix = tmp.path() + "/kovo_siyi_";
        h.build();
        h.px4.setState({{"uav", {{"lpos", {{"x", 1.5}, {"y", "2"}, {"z", -3}}}, {"atti", {{"r", 9}, {"y", 0.25}}}}}});
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        h.mission.mission_seq = 1;
        fakes::set_identifiers(h.mission);
        h.mission.car_x = "10";
        h.mission.car_y = "20";
        h.mission.car_yaw = "30";
        h.mission.warehouse_num = "W-first";
        h.mission.warehouse_num_list = {"W0", "W1"};
        h.mission.car_flight_point_list = {{{"id", "p0"}, {"z", "1.5"}, {"warehousePositionNum", "7"}},
                                           {{"id", "p1"}, {"z", 2.25}}};
    }
    std::string upload(const json& items, int before = -1)
    {
        return fakes::printed([&] { EXPECT_TRUE(h.core->photos.uploadPhotosAsync(items, kUrl, dir.path(), before)); });
    }
    std::vector<json> uploadRecords() { return fakes::read_jsonl(dir.file("client_log.jsonl")); }
    bool uploaded()
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        return h.mission.photos_uploaded;
    }
    // Temporary files left in the temporary directory.
    size_t leftovers()
    {
        size_t n = 0;
        for (const auto& d : h.http.downloads) {
            n += testsupport::file_exists(d.path) ? 1 : 0;
        }
        return n;
    }

    testsupport::TempDir tmp;
    testsupport::TempDir dir;
    fakes::Harness h;
};

}  // namespace

TEST_F(PhotoUpload, CameraPictureNumbering)
{
    const std::string out = upload(json::array({{{"camera", "siyi"}, {"height_idx", 0}}}), 2);
    ASSERT_EQ(h.http.downloads.size(), 1u);
    EXPECT_EQ(h.http.downloads[0].url, "http://192.168.144.25:82/photo/101SIYI_IMG/IMG_0003.jpg");
    EXPECT_NE(out.find("[UPLOAD] Auto build siyi url image_id=3 (beforecount=2 hidx=0) -> "
                       "http://192.168.144.25:82/photo/101SIYI_IMG/IMG_0003.jpg"),
              std::string::npos)
        << out;
    upload(json::array({{{"camera", "siyi"}, {"height_idx", 0}}}), -1);
    EXPECT_EQ(h.http.downloads[1].url, "http://192.168.144.25:82/photo/101SIYI_IMG/IMG_0001.jpg");
    upload(json::array({{{"camera", "siyi"}}}), -1);
    EXPECT_EQ(h.http.downloads[2].url, "http://192.168.144.25:82/photo/101SIYI_IMG/IMG_0000.jpg");
    const std::string& path = h.http.downloads[2].path;
    EXPECT_EQ(path.rfind(tmp.path() + "/kovo_siyi_-1_", 0), 0u) << path;
    EXPECT_EQ(path.substr(path.size() - 4), ".jpg");
}

TEST_F(PhotoUpload, WideImageNumbersAreWrittenInFull)
{
    EXPECT_EQ(h.core->photos.buildSiyiUrl(12345), "http://192.168.144.25:82/photo/101SIYI_IMG/IMG_12345.jpg");
}

TEST_F(PhotoUpload, ExplicitCameraUrlWinsOverLocalPath)
{
    upload(json::array({{{"camera", "siyi"}, {"siyi_url", "http://cam/x.jpg"}, {"local_path", "/nope"}}}));
    ASSERT_EQ(h.http.downloads.size(), 1u);
    EXPECT_EQ(h.http.downloads[0].url, "http://cam/x.jpg");
    ASSERT_EQ(h.http.posts.size(), 1u);
    EXPECT_EQ(h.http.posts[0].content, "JPEG:http://cam/x.jpg");
    EXPECT_EQ(leftovers(), 0u) << "the temporary file is gone after the upload";
}

TEST_F(PhotoUpload, UploadFormAndResult)
{
    upload(json::array({{{"camera", "siyi"}, {"height_idx", 1}}}));
    ASSERT_EQ(h.http.posts.size(), 1u);
    const auto& post = h.http.posts[0];
    EXPECT_EQ(post.url, kUrl);
    EXPECT_EQ(post.field_name, "") << "the client's configured file field";
    const std::map<std::string, std::string> expected{
        {"carActionId", "A"},     {"carFlightPointActionId", ""},    {"carFlightPointId", "p0"},
        {"carMissionHistoryId", "H"}, {"carPointId", "P"},           {"carStrategyId", "S"},
        {"carX", "10"},           {"carY", "20"},                    {"carYaw", "30"},
        {"height", "2.25"},       {"occurrenceTime", post.fields.at("occurrenceTime")},
        {"uavX", "1.50"},         {"uavY", "2"},                     {"uavYaw", "0.25"},
        {"uavZ", "-3"},           {"warehouseNum", "W1"},            {"warehousePositionNum", "7"}};
    EXPECT_EQ(post.fields, expected);
    EXPECT_EQ(post.fields.at("occurrenceTime").size(), 19u);

    const json result = json::parse(testsupport::read_file(dir.file("upload_result.json")));
    EXPECT_EQ(result["upload_url"], kUrl);
    EXPECT_EQ(result["time"].get<std::string>().size(), 19u);
    EXPECT_EQ(result["items"],
              json::array({{{"camera", "siyi"}, {"height_idx", 1}, {"resp", "{\"code\":0}"}, {"success", true}}}));
    const auto records = uploadRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["event"], "upload");
    EXPECT_EQ(records[0]["height_idx"], 1);
    EXPECT_EQ(records[0]["success"], true);
    EXPECT_TRUE(uploaded());
}

TEST_F(PhotoUpload, HeightAndWarehouseFallbacks)
{
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        h.mission.current_point_id = "arrived";
    }
    upload(json::array({{{"local_path", "/etc/hostname"}, {"height_idx", 5}},
                        {{"local_path", "/etc/hostname"}, {"height_idx", -1}}}));
    ASSERT_EQ(h.http.posts.size(), 2u);
    EXPECT_EQ(h.http.posts[0].fields.at("height"), "1.2") << "beyond the points: take-off altitude";
    EXPECT_EQ(h.http.posts[0].fields.at("warehouseNum"), "W0") << "list too short: its first entry";
    EXPECT_EQ(h.http.posts[1].fields.at("height"), "1.2");
    EXPECT_EQ(h.http.posts[1].fields.at("warehouseNum"), "W0");
    EXPECT_EQ(h.http.posts[0].fields.at("carFlightPointId"), "arrived");
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        h.mission.warehouse_num_list.clear();
    }
    upload(json::array({{{"local_path", "/etc/hostname"}, {"height_idx", 0}}}));
    EXPECT_EQ(h.http.posts[2].fields.at("warehouseNum"), "W-first");
    EXPECT_TRUE(testsupport::file_exists("/etc/hostname")) << "local files are never deleted";
}

TEST_F(PhotoUpload, LocalItemWithoutPathIsRecordedOnly)
{
    upload(json::array({{{"camera", "onboard"}, {"height_idx", 2}}, "not an object"}));
    EXPECT_TRUE(h.http.posts.empty());
    const auto records = uploadRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["error"], "no_file");
    EXPECT_EQ(records[0]["height_idx"], 2);
    EXPECT_EQ(records[0]["success"], false);
    EXPECT_EQ(records[1]["height_idx"], -1);
    const json result = json::parse(testsupport::read_file(dir.file("upload_result.json")));
    EXPECT_TRUE(result["items"].empty());
}

TEST_F(PhotoUpload, UnreachableCameraIsRetriedThenSkippedLeavingNoFile)
{
    h.http.download_reply = [](const std::string&) { return fakes::HttpReply{false, 0, "partial"}; };
    const std::string out = upload(json::array({{{"camera", "siyi"}, {"height_idx", 0}}}));
    EXPECT_EQ(h.http.downloads.size(), 3u);
    EXPECT_EQ(h.clock.sleeps, (std::vector<std::chrono::milliseconds>{1000ms, 1000ms, 1000ms}));
    EXPECT_NE(out.find("[UPLOAD] Download retry 3/3 failed for: http://192.168.144.25:82/photo/101SIYI_IMG/IMG_0001.jpg"),
              std::string::npos);
    EXPECT_NE(out.find("[UPLOAD] Failed to download siyi photo after 3 retries: "), std::string::npos);
    EXPECT_EQ(leftovers(), 0u);
    EXPECT_TRUE(h.http.posts.empty());
    const auto records = uploadRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["error"], "download_failed");
    EXPECT_TRUE(uploaded()) << "tried, even though it failed";
}

TEST_F(PhotoUpload, CameraErrorPageIsNotUploadedAsAPicture)
{
    int calls = 0;
    h.http.download_reply = [&](const std::string&) {
        return ++calls < 3 ? fakes::HttpReply{true, 404, "<html>not found</html>"} : fakes::HttpReply{true, 200, "img"};
    };
    upload(json::array({{{"camera", "siyi"}, {"height_idx", 0}}}));
    EXPECT_EQ(h.http.downloads.size(), 3u);
    ASSERT_EQ(h.http.posts.size(), 1u);
    EXPECT_EQ(h.http.posts[0].content, "img");

    h.http.download_reply = [](const std::string&) { return fakes::HttpReply{true, 500, "oops"}; };
    upload(json::array({{{"camera", "siyi"}, {"height_idx", 1}}}));
    EXPECT_EQ(h.http.posts.size(), 1u) << "an error page is never uploaded";
    EXPECT_EQ(uploadRecords().back()["error"], "download_failed");
    EXPECT_EQ(leftovers(), 0u);
}

TEST_F(PhotoUpload, ServerErrorIsRetriedAndRecordedAsFailure)
{
    h.http.post_reply = [](const std::string&) { return fakes::HttpReply{true, 500, "internal error"}; };
    const std::string out = upload(json::array({{{"camera", "siyi"}, {"height_idx", 1}}}));
    EXPECT_EQ(h.http.posts.size(), 3u);
    EXPECT_NE(out.find("[UPLOAD] Upload retry 1/3 failed for idx=1"), std::string::npos);
    EXPECT_NE(out.find("[UPLOAD] Failed to upload photo idx=1 after 3 retries"), std::string::npos);
    EXPECT_EQ(leftovers(), 0u) << "deleted after a failed upload too";
    const json result = json::parse(testsupport::read_file(dir.file("upload_result.json")));
    EXPECT_EQ(result["items"][0]["success"], false);
    EXPECT_EQ(result["items"][0]["resp"], "");
    EXPECT_EQ(uploadRecords().back()["success"], false);
}

TEST_F(PhotoUpload, TransientUploadFailureSucceedsOnRetry)
{
    int calls = 0;
    h.http.post_reply = [&](const std::string&) {
        return ++calls == 1 ? fakes::HttpReply{false, 0, ""} : fakes::HttpReply{true, 201, "ok"};
    };
    const std::string out = upload(json::array({{{"local_path", "/etc/hostname"}, {"height_idx", 0}}}));
    EXPECT_EQ(h.http.posts.size(), 2u);
    EXPECT_NE(out.find("[UPLOAD] Uploaded photo idx=0 resp=ok"), std::string::npos);
}

TEST_F(PhotoUpload, PlantedLinkAtTheTemporaryNameIsNeverFollowed)
{
    testsupport::write_file(tmp.file("victim"), "precious");
    const long long ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(h.clock.now().time_since_epoch()).count();
    const std::string planted = tmp.path() + "/kovo_siyi_0_" + std::to_string(ns) + ".jpg";
    ASSERT_EQ(::symlink(tmp.file("victim").c_str(), planted.c_str()), 0);
    upload(json::array({{{"camera", "siyi"}, {"height_idx", 0}}}));
    EXPECT_EQ(testsupport::read_file(tmp.file("victim")), "precious");
    ASSERT_EQ(h.http.downloads.size(), 1u);
    EXPECT_NE(h.http.downloads[0].path, planted);
    EXPECT_EQ(h.http.posts.size(), 1u);
}

TEST_F(PhotoUpload, NothingStartsWithoutItemsOrUrl)
{
    EXPECT_FALSE(h.core->photos.uploadPhotosAsync(json::array(), kUrl, dir.path(), -1));
    EXPECT_FALSE(h.core->photos.uploadPhotosAsync(json(), kUrl, dir.path(), -1));
    EXPECT_FALSE(h.core->photos.uploadPhotosAsync(json::object(), kUrl, dir.path(), -1));
    EXPECT_FALSE(h.core->photos.uploadPhotosAsync(json::array({{{"camera", "siyi"}}}), "", dir.path(), -1));
    EXPECT_EQ(h.inline_runner.started, 0);
    EXPECT_FALSE(uploaded());
}

TEST_F(PhotoUpload, WithoutTaskDirectoryNoFilesAreWritten)
{
    EXPECT_TRUE(h.core->photos.uploadPhotosAsync(json::array({{{"local_path", "/etc/hostname"}}}), kUrl, "", -1));
    EXPECT_EQ(h.http.posts.size(), 1u);
    EXPECT_FALSE(testsupport::file_exists(dir.file("upload_result.json")));
}

TEST_F(PhotoUpload, BatchesOfOneMissionShareOneSummary)
{
    upload(json::array({{{"local_path", "/etc/hostname"}, {"height_idx", 0}}}));
    upload(json::array({{{"local_path", "/etc/hostname"}, {"height_idx", 1}}}));
    json result = json::parse(testsupport::read_file(dir.file("upload_result.json")));
    EXPECT_EQ(result["items"].size(), 2u);
    // A new mission starts a new summary.
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        h.mission.mission_seq = 2;
    }
    upload(json::array({{{"local_path", "/etc/hostname"}, {"height_idx", 0}}}));
    result = json::parse(testsupport::read_file(dir.file("upload_result.json")));
    EXPECT_EQ(result["items"].size(), 1u);
}

TEST_F(PhotoUpload, StoppingCutsTheRetriesShort)
{
    h.http.download_reply = [](const std::string&) { return fakes::HttpReply{false, 0, ""}; };
    h.clock.stopped = true;
    upload(json::array({{{"camera", "siyi"}}, {{"camera", "siyi"}}}));
    EXPECT_EQ(h.http.downloads.size(), 1u);
    EXPECT_EQ(leftovers(), 0u);
    EXPECT_FALSE(uploaded());
}
