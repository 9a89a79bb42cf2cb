#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "mission_fakes.h"

using namespace fakes;
using namespace std::chrono_literals;

namespace {

constexpr const char* kUrl = "http://platform/upload";
const std::string kCamera = "http://192.168.144.25:82/photo/101SIYI_IMG/";

json siyi(int idx) { return {{"camera", "siyi"}, {"height_idx", idx}}; }

json local(int idx) { return {{"local_path", "/etc/hostname"}, {"height_idx", idx}}; }

class PhotoUpload : public ::testing::Test {
protected:
    void SetUp() override {
        h.config.mission.temp_file_prefix = tmp.path() + "/kovo_siyi_";
        h.build();
        h.px4.setState({{"uav", {{"lpos", {{"x", 1.5}, {"y", "2"}, {"z", -3}}}, {"atti", {{"r", 9}, {"y", 0.25}}}}}});
        h.locked([](MissionContext& m) {
            m.mission_seq = 1;
            set_identifiers(m);
            m.car_x = "10";
            m.car_y = "20";
            m.car_yaw = "30";
            m.warehouse_num = "W-first";
            m.warehouse_num_list = {"W0", "W1"};
            m.car_flight_point_list = {{{"id", "p0"}, {"z", "1.5"}, {"warehousePositionNum", "7"}},
                                       {{"id", "p1"}, {"z", 2.25}}};
        });
    }
    std::string upload(const json& items, int before = -1) {
        return output_of([&] { EXPECT_TRUE(h.core->photos.uploadPhotosAsync(items, kUrl, dir.path(), before)); });
    }
    std::vector<json> records() { return read_jsonl(dir.file("client_log.jsonl")); }
    json result() { return json_file(dir.file("upload_result.json")); }
    // Downloaded files still present.
    long leftovers() {
        const auto all = h.http.downloads.all();
        return std::count_if(all.begin(), all.end(), [](const auto& d) { return testsupport::file_exists(d.path); });
    }

    TempDir tmp, dir;
    Harness h;
};

}  // namespace

TEST_F(PhotoUpload, CameraPictureNumbering) {
    EXPECT_THAT(
        upload(json::array({siyi(0)}), 2),
        HasSubstr("[UPLOAD] Auto build siyi url image_id=3 (beforecount=2 hidx=0) -> " + kCamera + "IMG_0003.jpg"));
    upload(json::array({siyi(0),
                        {{"camera", "siyi"}},
                        siyi(12344),
                        {{"camera", "siyi"}, {"siyi_url", "http://cam/x.jpg"}, {"local_path", "/nope"}}}));
    Texts urls;
    for (const auto& d : h.http.downloads.all())
        urls.push_back(d.url);
    EXPECT_EQ(urls, (Texts{kCamera + "IMG_0003.jpg", kCamera + "IMG_0001.jpg", kCamera + "IMG_0000.jpg",
                           kCamera + "IMG_12345.jpg", "http://cam/x.jpg"}));
    const std::string path = h.http.downloads[2].path;
    EXPECT_EQ(path.rfind(tmp.path() + "/kovo_siyi_-1_", 0), 0u) << path;
    EXPECT_EQ(path.substr(path.size() - 4), ".jpg");
    EXPECT_EQ(h.http.posts.back().content, "JPEG:http://cam/x.jpg") << "the picture, not the local path";
    EXPECT_EQ(leftovers(), 0) << "temporary files are gone after the upload";
}

TEST_F(PhotoUpload, UploadFormResultAndFallbacks) {
    upload(json::array({siyi(1)}));
    ASSERT_EQ(h.http.posts.size(), 1u);
    const auto post = h.http.posts[0];
    EXPECT_EQ(post.field_name, "") << "the client's configured file field";
    json fields(post.fields);
    EXPECT_EQ(fields["occurrenceTime"].get<std::string>().size(), 19u);
    fields.erase("occurrenceTime");
    EXPECT_EQ(fields, json::parse(R"({"carActionId": "A", "carFlightPointActionId": "", "carFlightPointId": "p1",
        "carMissionHistoryId": "H", "carPointId": "P", "carStrategyId": "S", "carX": "10", "carY": "20", "carYaw": "30",
        "height": "2.25", "uavX": "1.50", "uavY": "2", "uavYaw": "0.25", "uavZ": "-3", "warehouseNum": "W1",
        "warehousePositionNum": ""})"))
        << "the point of its own step";

    const json r = result();
    EXPECT_EQ(r["items"],
              json::array({{{"camera", "siyi"}, {"height_idx", 1}, {"resp", "{\"code\":0}"}, {"success", true}}}));
    ASSERT_EQ(records().size(), 1u);
    expect_members(records()[0], {{"event", "upload"}, {"height_idx", 1}, {"success", true}});
    EXPECT_TRUE(h.photosUploaded());

    upload(json::array({local(5), local(-1)}));
    h.locked([](MissionContext& m) { m.warehouse_num_list.clear(); });
    upload(json::array({local(0)}));
    const auto posts = h.http.posts.all();
    ASSERT_EQ(posts.size(), 4u);
    for (size_t i = 1; i < 3; ++i)
        EXPECT_EQ(posts[i].fields.at("warehouseNum"), "W0") << "list too short: its first entry";
    EXPECT_EQ(posts[3].fields.at("warehouseNum"), "W-first");
    EXPECT_TRUE(testsupport::file_exists("/etc/hostname")) << "local files are never deleted";
}

TEST_F(PhotoUpload, NothingToUpload) {
    // Items without a (readable) file are recorded only.
    upload(json::array({{{"camera", "onboard"}, {"height_idx", 2}},
                        "not an object",
                        {{"local_path", dir.file("gone.jpg")}, {"height_idx", 1}}}));
    EXPECT_TRUE(h.http.posts.empty());
    ASSERT_EQ(records().size(), 3u);
    expect_members(records()[0], {{"error", "no_file"}, {"height_idx", 2}, {"success", false}});
    EXPECT_EQ(records()[1]["height_idx"], -1);
    EXPECT_TRUE(result()["items"].empty());
    expect_members(result(), {{"listed", 3}, {"uploaded", 0}, {"failed", 3}});
    EXPECT_EQ(result()["not_uploaded"][2], json({{"camera", "onboard"}, {"height_idx", 1}, {"reason", "no_file"}}));
    EXPECT_EQ(h.locked([](MissionContext& m) { return std::make_pair(m.photos_ok, m.photos_failed); }),
              std::make_pair(0, 3));

    // No item or no URL: no worker starts.
    h.runner.hold = true;
    EXPECT_FALSE(h.core->photos.uploadPhotosAsync(json::object(), kUrl, dir.path(), -1));
    EXPECT_FALSE(h.core->photos.uploadPhotosAsync(json::array({siyi(0)}), "", dir.path(), -1));
    EXPECT_TRUE(h.runner.pending.empty());
}

// Three tries a second apart; no error page uploaded, no temporary file left; stopping cuts the retries.
TEST_F(PhotoUpload, FailedTransfersAreRetriedAndRecorded) {
    struct Row {
        std::vector<long> download, post;  // the replies' statuses in turn, the last repeated
        size_t downloads, posts;
        int slept_ms;
        std::string line;
    };
    const std::vector<Row> rows{
        {{500}, {200}, 3, 0, 3000, "[UPLOAD] Failed to download siyi photo after 3 retries: "},
        {{404, 404, 200}, {200}, 3, 1, 2000, "[UPLOAD] Uploaded photo idx=0 resp=img"},
        {{200}, {500}, 1, 3, 3000, "[UPLOAD] Upload retry 3/3 failed for idx=0\n"},
        {{200}, {0, 201}, 1, 2, 1000, "[UPLOAD] Uploaded photo idx=0 resp=img"},
        {{0}, {200}, 1, 0, 1000, ""},  // stopped
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        size_t downloaded = 0, posted = 0;
        const auto reply = [](const std::vector<long>& statuses, size_t& n) {
            const long status = statuses[std::min(n++, statuses.size() - 1)];
            return HttpReply{status, status / 100 == 2 ? "img" : "<html>error</html>"};
        };
        h.http.download_reply = [&] { return reply(row.download, downloaded); };
        h.http.post_reply = [&] { return reply(row.post, posted); };
        h.clock.stopped = row.line.empty();
        h.locked([](MissionContext& m) { m.photos_uploaded = false; });
        const size_t downloads = h.http.downloads.size(), posts = h.http.posts.size();
        const auto slept = h.clock.slept();
        EXPECT_THAT(upload(json::array({siyi(0)})), HasSubstr(row.line));
        EXPECT_EQ(h.http.downloads.size() - downloads, row.downloads);
        EXPECT_EQ(h.http.posts.size() - posts, row.posts);
        EXPECT_EQ(h.clock.slept() - slept, std::chrono::milliseconds(row.slept_ms));
        EXPECT_EQ(row.posts > 0 ? h.http.posts.back().content : "img", "img");
        EXPECT_EQ(leftovers(), 0);
        EXPECT_EQ(h.photosUploaded(), !h.clock.stopped) << "tried, even when it failed";
    }
    expect_members(result(), {{"listed", 4}, {"uploaded", 2}, {"failed", 2}});
    EXPECT_EQ(result()["items"][1], json({{"camera", "siyi"}, {"height_idx", 0}, {"resp", ""}, {"success", false}}));
}

TEST_F(PhotoUpload, PlantedLinkAtTheTemporaryNameIsNeverFollowed) {
    testsupport::write_file(tmp.file("victim"), "precious");
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(h.clock.now().time_since_epoch()).count();
    const std::string planted = tmp.path() + "/kovo_siyi_0_" + std::to_string(ns) + ".jpg";
    ASSERT_EQ(::symlink(tmp.file("victim").c_str(), planted.c_str()), 0);
    upload(json::array({siyi(0)}));
    EXPECT_EQ(testsupport::read_file(tmp.file("victim")), "precious");
    EXPECT_NE(h.http.downloads[0].path, planted);
    EXPECT_EQ(h.http.posts.size(), 1u);
}
