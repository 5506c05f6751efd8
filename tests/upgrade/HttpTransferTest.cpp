// The HTTP transfer against a scripted server on 127.0.0.1: one table of
// outcomes, the request it sends, and the worker's hand-over rules.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/Files.h"
#include "tests/upgrade/UpgradePeer.h"
#include "upgrade/AuHttp.h"

namespace {

using namespace std::chrono_literals;

// The owner's side of the transfer: every notification, in order.
class TRecordingHTTP : public TauCustomHTTP {
public:
    using TauCustomHTTP::TauCustomHTTP;

    std::vector<std::string> Events;
    std::string Data;
    bool Ended = false;
    bool Progress = false;
    std::function<void(const AnsiString& realm, bool& tryAgain)> Password;
    std::function<void(bool& proceed)> Headers;
    std::function<void()> AfterDone;

protected:
    void DoHeadersReceived(const TauHttpHeaders&, bool& Continue) override {
        Events.push_back("headers");
        if (Headers) Headers(Continue);
    }
    void DoProgress(const TauHttpProgress&) override { Progress = true; }
    void DoTransferDone(const std::string&, const std::string* data, std::int64_t bytes) override {
        Events.push_back("done " + std::to_string(bytes));
        if (data) Data = *data;
        Ended = true;
        if (AfterDone) AfterDone();
    }
    void DoTransferCancelled() override { End("cancelled"); }
    void DoConnLost(std::int64_t bytes, std::int64_t length) override {
        End("connlost " + std::to_string(bytes) + "/" + std::to_string(length));
    }
    void DoHostUnreachable() override { End("unreachable"); }
    void DoHttpError(int status, const std::string*) override { End("httperror " + std::to_string(status)); }
    void DoPasswordRequest(const AnsiString& realm, bool& tryAgain) override {
        Events.push_back("password " + realm);
        if (Password) Password(realm, tryAgain);
    }
    bool ListensForProgress() const override { return true; }

private:
    void End(const std::string& event) {
        Events.push_back(event);
        Ended = true;
    }
};

std::string Temp(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("upg-" + std::to_string(::getpid()) + "-" + name)).string();
}

struct TOutcomeCase {
    const char* Name;
    std::string Routes = {}; // JSON
    std::string Path = {};
    bool Tls = false;
    bool TrustFixture = false;
    bool ToFile = false;
    std::uint64_t Limit = 0;          // MaxBodySize; 0: default
    std::string Outcome = {};              // the last event
    std::string Body = {};                 // what arrives (memory or file), for "done"
    bool Credentials = false;         // answer the password request
};

class HttpOutcomeTest : public testing::TestWithParam<TOutcomeCase> {};

TEST_P(HttpOutcomeTest, EndsAs) {
    const TOutcomeCase& c = GetParam();
    TUpdatePeer peer(c.Routes, c.Tls);
    TRealTimeLoop loop;
    TRecordingHTTP http(loop);
    http.Proxy.AccessType = atDirect;
    http.Timeouts.ConnectTimeout = 5000;
    http.Timeouts.ReceiveTimeout = 1000;
    http.URL = c.Path == "refused" ? "http://127.0.0.1:1/x" : peer.Url(c.Path);
    if (c.TrustFixture) http.CaFile = FixturePath("update-peer.pem");
    if (c.Limit) http.MaxBodySize = c.Limit;
    const std::string file = Temp(std::string(c.Name) + ".uTMP");
    if (c.ToFile) http.OutputFileName = file;
    if (c.Credentials)
        http.Password = [&http](const AnsiString&, bool& tryAgain) {
            http.HTTPUsername = "reg";
            http.HTTPPassword = "s3cret";
            tryAgain = true;
        };
    ASSERT_TRUE(http.StartTransfer());
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return http.Ended; }, 40s)) << "no outcome";
    ASSERT_FALSE(http.Events.empty());
    EXPECT_EQ(http.Events.back(), c.Outcome) << http.FailureText();
    if (c.Outcome.rfind("done", 0) == 0) {
        if (c.ToFile) {
            std::string content;
            ASSERT_TRUE(ReadWholeFile(file, content));
            EXPECT_EQ(content, c.Body);
            EXPECT_TRUE(http.Data.empty());
        } else {
            EXPECT_EQ(http.Data, c.Body);
        }
    } else if (c.ToFile) {
        EXPECT_FALSE(FileExists(file)) << "a failed transfer leaves no file";
    }
    std::filesystem::remove(file);
}

const std::string Thousand(1000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpOutcomeTest,
    testing::Values(
        TOutcomeCase{.Name = "Ok", .Routes = R"({"/i": {"body": "#version=3\n"}})", .Path = "/i",
                     .Outcome = "done 11", .Body = "#version=3\n"},
        TOutcomeCase{.Name = "OkToFile", .Routes = R"({"/f": {"body": "MZ\u0000\u00ff"}})", .Path = "/f",
                     .ToFile = true, .Outcome = "done 4", .Body = std::string("MZ\0\xff", 4)},
        TOutcomeCase{.Name = "NotFound", .Routes = "{}", .Path = "/missing", .Outcome = "httperror 404"},
        TOutcomeCase{.Name = "NotFoundToFile", .Routes = "{}", .Path = "/missing", .ToFile = true,
                     .Outcome = "httperror 404"},
        TOutcomeCase{.Name = "ShortBody", .Routes = R"({"/f": {"body": ")" + Thousand + R"(", "close_after": 600}})",
                     .Path = "/f", .Outcome = "connlost 600/1000"},
        TOutcomeCase{.Name = "ShortBodyToFile",
                     .Routes = R"({"/f": {"body": ")" + Thousand + R"(", "close_after": 600}})", .Path = "/f",
                     .ToFile = true, .Outcome = "connlost 600/1000"},
        TOutcomeCase{.Name = "Chunked", .Routes = R"({"/f": {"body": "0123456789abcdefghij", "chunked": true}})",
                     .Path = "/f", .ToFile = true, .Outcome = "done 20", .Body = "0123456789abcdefghij"},
        TOutcomeCase{.Name = "NoLengthToFile", .Routes = R"({"/f": {"body": "until close", "no_length": true}})",
                     .Path = "/f", .ToFile = true, .Outcome = "done 11", .Body = "until close"},
        TOutcomeCase{.Name = "NoLengthInMemory", .Routes = R"({"/f": {"body": "until close", "no_length": true}})",
                     .Path = "/f", .Outcome = "done 11", .Body = "until close"},
        TOutcomeCase{.Name = "RefusedPort", .Routes = "{}", .Path = "refused", .Outcome = "unreachable"},
        TOutcomeCase{.Name = "NoHeadersInTime", .Routes = R"({"/f": {"silent": 20}})", .Path = "/f",
                     .Outcome = "unreachable"},
        TOutcomeCase{.Name = "TricklingBody", .Routes = R"({"/f": {"body": "0123456789", "trickle": 3}})",
                     .Path = "/f", .ToFile = true, .Outcome = "connlost 1/10"},
        TOutcomeCase{.Name = "AnnouncedTooLarge", .Routes = R"({"/i": {"body": "x", "length": 20000000}})",
                     .Path = "/i", .Limit = 1024 * 1024, .Outcome = "httperror 200"},
        TOutcomeCase{.Name = "ReceivedTooLarge",
                     .Routes = R"({"/i": {"body": ")" + Thousand + R"(", "no_length": true}})", .Path = "/i",
                     .Limit = 999, .Outcome = "httperror 200"},
        TOutcomeCase{.Name = "FileTooLarge", .Routes = R"({"/f": {"body": ")" + Thousand + R"("}})", .Path = "/f",
                     .ToFile = true, .Limit = 999, .Outcome = "connlost 0/1000"},
        TOutcomeCase{.Name = "RedirectSameHost", .Routes = R"({"/old": {"redirect": "/i"}, "/i": {"body": "moved"}})",
                     .Path = "/old", .Outcome = "done 5", .Body = "moved"},
        TOutcomeCase{.Name = "RedirectLoop", .Routes = R"({"/loop": {"redirect": "/loop"}})", .Path = "/loop",
                     .Outcome = "httperror 302"},
        TOutcomeCase{.Name = "PasswordRefused",
                     .Routes = R"({"/p": {"realm": "Updates", "user": "reg", "password": "s3cret", "body": "ok"}})",
                     .Path = "/p", .Outcome = "httperror 401"},
        TOutcomeCase{.Name = "PasswordAccepted",
                     .Routes = R"({"/p": {"realm": "Updates", "user": "reg", "password": "s3cret", "body": "ok"}})",
                     .Path = "/p", .Outcome = "done 2", .Body = "ok", .Credentials = true},
        TOutcomeCase{.Name = "TlsTrusted", .Routes = R"({"/i": {"body": "secure"}})", .Path = "/i", .Tls = true,
                     .TrustFixture = true, .Outcome = "done 6", .Body = "secure"},
        TOutcomeCase{.Name = "TlsSelfSignedRefused", .Routes = R"({"/i": {"body": "secure"}})", .Path = "/i",
                     .Tls = true, .Outcome = "unreachable"},
        TOutcomeCase{.Name = "TlsRedirectToPlainRefused", .Routes = R"({"/i": {"redirect": "http://127.0.0.1:1/i"}})",
                     .Path = "/i", .Tls = true, .TrustFixture = true, .Outcome = "httperror 302"}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(HttpTransferTest, PasswordRequestCarriesTheRealm) {
    TUpdatePeer peer(R"({"/p": {"realm": "Updates", "user": "reg", "password": "s3cret", "body": "ok"}})");
    TRealTimeLoop loop;
    TRecordingHTTP http(loop);
    http.Proxy.AccessType = atDirect;
    http.URL = peer.Url("/p");
    ASSERT_TRUE(http.StartTransfer());
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return http.Ended; }));
    EXPECT_EQ(http.Events, (std::vector<std::string>{"password Updates", "headers", "httperror 401"}));
}

TEST(HttpTransferTest, LocalFile) {
    const std::string path = Temp("local.inf");
    std::ofstream(path, std::ios::binary) << "#version=9\n";
    TRealTimeLoop loop;
    TRecordingHTTP http(loop);
    http.URL = "file://" + path;
    ASSERT_TRUE(http.StartTransfer());
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return http.Ended; }));
    EXPECT_EQ(http.Events.back(), "done 11");
    EXPECT_EQ(http.Data, "#version=9\n");

    http.Ended = false;
    http.URL = "file://" + path + ".missing";
    ASSERT_TRUE(http.StartTransfer());
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return http.Ended; }));
    EXPECT_EQ(http.Events.back(), "httperror 404");

    http.Ended = false;
    http.URL = "file://" + path;
    http.AllowFileScheme = false;
    ASSERT_TRUE(http.StartTransfer());
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return http.Ended; }));
    EXPECT_EQ(http.Events.back(), "unreachable");
    std::filesystem::remove(path);
}

struct TRequestCase {
    const char* Name;
    bool UseCache;
    bool NoCacheHeaders;
};

class HttpRequestTest : public testing::TestWithParam<TRequestCase> {};

TEST_P(HttpRequestTest, SendsTheHeaders) {
    TUpdatePeer peer(R"({"/i": {"body": "x"}})");
    TRealTimeLoop loop;
    TRecordingHTTP http(loop);
    http.Proxy.AccessType = atDirect;
    http.UseCache = GetParam().UseCache;
    // Without a scheme the address is fetched over HTTP.
    http.URL = "127.0.0.1:" + std::to_string(peer.Port()) + "/i";
    ASSERT_TRUE(http.StartTransfer());
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return http.Ended; }));
    EXPECT_EQ(http.Events.back(), "done 1");
    const std::string request = peer.NextRequest();
    EXPECT_NE(request.find("\"path\": \"/i\""), std::string::npos) << request;
    EXPECT_NE(request.find("\"accept\": \"text/html, */*\""), std::string::npos) << request;
    EXPECT_NE(request.find("\"user-agent\": \"quorvel/" QUORVEL_VERSION "\""), std::string::npos) << request;
    EXPECT_EQ(request.find("\"cache-control\": \"no-cache\"") != std::string::npos, GetParam().NoCacheHeaders) << request;
    EXPECT_EQ(request.find("\"pragma\": \"no-cache\"") != std::string::npos, GetParam().NoCacheHeaders) << request;
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpRequestTest,
                         testing::Values(TRequestCase{"InfoMode", false, true}, TRequestCase{"FileMode", true, false}),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST(HttpTransferTest, HeadersMayCancel) {
    TUpdatePeer peer(R"({"/f": {"body": "abc"}})");
    TRealTimeLoop loop;
    TRecordingHTTP http(loop);
    http.Proxy.AccessType = atDirect;
    http.URL = peer.Url("/f");
    http.Headers = [](bool& proceed) { proceed = false; };
    ASSERT_TRUE(http.StartTransfer());
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return http.Ended; }));
    EXPECT_EQ(http.Events, (std::vector<std::string>{"headers", "cancelled"}));
}

TEST(HttpTransferTest, SecondStartWhileRunningDoesNothing) {
    TUpdatePeer peer(R"({"/f": {"body": "abc"}})");
    TRealTimeLoop loop;
    TRecordingHTTP http(loop);
    http.Proxy.AccessType = atDirect;
    http.URL = peer.Url("/f");
    ASSERT_TRUE(http.StartTransfer());
    EXPECT_TRUE(http.IsTransferRunning());
    EXPECT_FALSE(http.StartTransfer());
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return http.Ended; }));
    EXPECT_FALSE(http.IsTransferRunning());
    EXPECT_EQ(http.Events, (std::vector<std::string>{"headers", "done 3"}));
}

// ---------------------------------------------------------------- threads

TEST(HttpThreadTest, NextTransferStartsFromTheCompletion) {
    TUpdatePeer peer(R"({"/a": {"body": "first"}, "/b": {"body": "second"}})");
    TRealTimeLoop loop;
    TRecordingHTTP http(loop);
    http.Proxy.AccessType = atDirect;
    http.URL = peer.Url("/a");
    std::vector<std::string> bodies;
    bool started = false;
    http.AfterDone = [&] {
        bodies.push_back(http.Data);
        if (http.URL == peer.Url("/a")) {
            http.URL = peer.Url("/b");
            http.Ended = false;
            EXPECT_FALSE(http.IsTransferRunning()); // the worker delivering this is past its routine
            started = http.StartTransfer();
        }
    };
    ASSERT_TRUE(http.StartTransfer());
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return bodies.size() == 2; }));
    EXPECT_TRUE(started);
    EXPECT_EQ(bodies, (std::vector<std::string>{"first", "second"}));
    // Nothing further arrives from either worker.
    RunLoopUntil(loop, [] { return false; }, 300ms);
    EXPECT_EQ(http.Events, (std::vector<std::string>{"headers", "done 5", "headers", "done 6"}));
}

TEST(HttpThreadTest, AbortMidBodyDeliversNothingMore) {
    TUpdatePeer peer(R"({"/f": {"body": "0123456789", "trickle": 0.3}})");
    TRealTimeLoop loop;
    TRecordingHTTP http(loop);
    http.Proxy.AccessType = atDirect;
    http.URL = peer.Url("/f");
    http.OutputFileName = Temp("abort.uTMP");
    ASSERT_TRUE(http.StartTransfer());
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return http.Progress; }));
    const auto before = std::chrono::steady_clock::now();
    http.AbortTransfer();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 100ms);
    EXPECT_FALSE(http.IsTransferRunning());
    const std::size_t seen = http.Events.size();
    http.Progress = false;
    RunLoopUntil(loop, [] { return false; }, 1500ms);
    EXPECT_EQ(http.Events.size(), seen);
    EXPECT_FALSE(http.Progress);
    EXPECT_FALSE(http.Ended);
    std::filesystem::remove(Temp("abort.uTMP"));
}

TEST(HttpThreadTest, DestructionMidBodyReturnsQuickly) {
    TUpdatePeer peer(R"({"/f": {"body": "0123456789", "trickle": 0.3}})");
    TRealTimeLoop loop;
    auto http = std::make_unique<TRecordingHTTP>(loop);
    http->Proxy.AccessType = atDirect;
    http->URL = peer.Url("/f");
    ASSERT_TRUE(http->StartTransfer());
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return http->Progress; }));
    const auto before = std::chrono::steady_clock::now();
    http.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(TauCustomThread::DestroyWait) + 500ms);
    // Whatever the worker had queued finds no component: nothing runs.
    RunLoopUntil(loop, [] { return false; }, 500ms);
}

} // namespace
