// PlatformHttpClient against the simulated platform and camera over loopback.
#include "platform/platform_http_client.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <optional>
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

// A peer on a raw socket for one request (over TLS when given a context): it
// reads the multipart request to its end, then sends the answer and closes,
// or with no answer holds the connection until the client gives up.
class CannedPeer {
public:
    explicit CannedPeer(std::optional<std::string> answer, SSL_CTX* tls = nullptr)
        : fd_(testsupport::listen_loopback(&port_)), tls_(tls != nullptr) {
        thread_ = std::thread([this, answer, tls] {
            const int conn = accept(fd_, nullptr, nullptr);
            SSL* ssl = tls != nullptr ? SSL_new(tls) : nullptr;
            if (ssl != nullptr) SSL_set_fd(ssl, conn);
            std::string got;
            const auto request_read = [&] {
                return answer && got.size() >= 4 && got.compare(got.size() - 4, 4, "--\r\n") == 0;
            };
            char buffer[4096];
            const auto receive = [&] {
                return ssl != nullptr ? SSL_read(ssl, buffer, sizeof buffer)
                                      : static_cast<int>(recv(conn, buffer, sizeof buffer, 0));
            };
            if (ssl == nullptr || SSL_accept(ssl) == 1) {
                for (int n; !request_read() && (n = receive()) > 0;)
                    got.append(buffer, static_cast<size_t>(n));
                if (answer && ssl != nullptr) SSL_write(ssl, answer->data(), static_cast<int>(answer->size()));
                if (answer && ssl == nullptr) send(conn, answer->data(), answer->size(), MSG_NOSIGNAL);
            }
            SSL_free(ssl);
            close(conn);
        });
    }
    ~CannedPeer() {
        thread_.join();
        close(fd_);
    }
    std::string url(const std::string& host = "127.0.0.1") const {
        return (tls_ ? "https://" : "http://") + host + ":" + std::to_string(port_) + "/up";
    }

private:
    int port_ = 0;  // before fd_, whose initialiser sets it
    int fd_;
    bool tls_;
    std::thread thread_;
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
    EXPECT_EQ(sent["parts"][0]["mime_type"], "image/jpeg");
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
    // /dev/full opens but refuses every write, like a full disk: during the
    // transfer, or for a short answer (the 404) only when the file is closed.
    EXPECT_FALSE(client_.downloadFile(pictureUrl(7), "/dev/full"));
    EXPECT_FALSE(client_.downloadFile(pictureUrl(5), "/dev/full"));
    EXPECT_EQ(log_.count("HTTP error: "), 5u);
    EXPECT_EQ(log_.count("HTTP error: curl postFile error: Couldn't connect to server"), 1u);
    EXPECT_EQ(log_.count("HTTP error: curl download error: Failed writing received data to disk/application"), 2u);
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

// Every framing of an answer's body is read whole; a broken answer is named,
// an over-long one refused, a silent peer cut off at the time-out.
TEST_F(HttpClientTest, AnswersOfEveryFramingAreReadWholeAndBrokenOnesNamed) {
    config_.platform.timeout.post_file = 1;
    const struct {
        std::optional<std::string> answer;
        long status;  // 0: the transfer fails with `text` in its line
        std::string text;
    } cases[] = {
        {"HTTP/1.1 201 Created\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", 201, "abcde"},
        {"HTTP/1.1 200 OK\r\n\r\nuntil the close", 200, "until the close"},
        {"HTTP/1.1 204 No Content\r\n\r\n", 204, ""},
        {"", 0, "Server returned nothing"},
        {"SSH-2.0-OpenSSH\r\n\r\n", 0, "Weird server reply"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 1048577\r\n\r\n", 0, "Maximum file size exceeded"},
        {std::nullopt, 0, "Timeout was reached"},
    };
    for (const auto& c : cases) {
        CannedPeer peer(c.answer);
        std::string response = "untouched";
        long status = -1;
        EXPECT_EQ(client_.postFile(peer.url(), photo_, {}, "", &response, &status), c.status != 0) << c.text;
        EXPECT_EQ(status, c.status) << c.text;
        if (c.status != 0) {
            EXPECT_EQ(response, c.text);
        } else {
            EXPECT_EQ(log_.count(c.text), 1u) << c.text;
        }
    }
}

// https: the peer's certificate must be one the system trusts (here through
// SSL_CERT_FILE) and name the URL's host.
TEST_F(HttpClientTest, HttpsTakesOnlyATrustedCertificateForTheHost) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_sign(cert, key, EVP_sha256());
    FILE* pem = fopen(dir_.file("trusted.pem").c_str(), "w");
    PEM_write_X509(pem, cert);
    fclose(pem);
    setenv("SSL_CERT_FILE", dir_.file("trusted.pem").c_str(), 1);
    SSL_CTX* tls = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(tls, cert);
    SSL_CTX_use_PrivateKey(tls, key);
    for (const auto& [host, trusted] : {std::pair{"localhost", true}, std::pair{"127.0.0.1", false}}) {
        CannedPeer peer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", tls);
        std::string response;
        EXPECT_EQ(client_.postFile(peer.url(host), photo_, {}, "", &response), trusted) << host;
        EXPECT_EQ(response, trusted ? "ok" : "") << host;
    }
    EXPECT_EQ(log_.count("SSL connect error: certificate verify failed"), 1u);
    unsetenv("SSL_CERT_FILE");
    SSL_CTX_free(tls);
    X509_free(cert);
    EVP_PKEY_free(key);
}
