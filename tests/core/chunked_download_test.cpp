#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "core/failure.h"
#include "core/llama_server.h"
#include "core/model_delivery.h"
#include "http_test_server.h"
#include "test_support.h"

namespace quorvel {
namespace {

using testing::HttpTestServer;
using testing::readFile;
using testing::Reply;
using testing::TempDir;
using testing::writeFile;
using Clock = std::chrono::steady_clock;

std::string bodyOf(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
  return s;
}

const std::string kBody = bodyOf(5000);

template <typename Error, typename F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  ADD_FAILURE() << "expected exception not thrown";
  return "";
}

class ChunkedDownloadTest : public ::testing::Test {
 protected:
  ChunkedDownload::Result fetch(const std::string& path, std::int64_t resumeAt) {
    return ChunkedDownload::fetch(server_.url(path), file_, resumeAt, [](std::int64_t) {});
  }

  HttpTestServer server_;
  TempDir dir_;
  std::string file_ = dir_.file("model.gguf.partial");
};

TEST_F(ChunkedDownloadTest, AsksForTheRangeFromTheOffsetAndAppendsTheAnswer) {
  struct Case {
    const char* name;
    std::int64_t offset;
    std::optional<std::string> range;
  };
  for (const Case& c : {Case{"fresh", 0, std::nullopt}, Case{"fromOne", 1, "bytes=1-"},
                        Case{"fromMiddle", 2000, "bytes=2000-"}}) {
    server_.script("/" + std::string(c.name), {Reply::file(kBody)});
    writeFile(file_, kBody.substr(0, static_cast<std::size_t>(c.offset)) + (c.offset ? "" : "stale"));
    ChunkedDownload::Result r = fetch("/" + std::string(c.name), c.offset);
    EXPECT_EQ(r.length, 5000) << c.name;
    EXPECT_FALSE(r.restarted) << c.name;
    EXPECT_EQ(readFile(file_), kBody) << c.name;
    std::vector<testing::RecordedRequest> seen = server_.requests("/" + std::string(c.name));
    ASSERT_EQ(seen.size(), 1u) << c.name;
    EXPECT_EQ(seen[0].header("range"), c.range) << c.name;
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].header("user-agent"), "QuorvelInk/1.0 (+https://quorvel.ink)");
  }
}

TEST_F(ChunkedDownloadTest, AServerIgnoringTheRangeStartsTheFileAgain) {
  server_.script("/f", {Reply::wholeFile(kBody)});
  writeFile(file_, "0123456789");
  ChunkedDownload::Result r = fetch("/f", 10);
  EXPECT_TRUE(r.restarted);
  EXPECT_EQ(r.length, 5000);
  EXPECT_EQ(readFile(file_), kBody);
}

TEST_F(ChunkedDownloadTest, RangeNotSatisfiableDeletesThePartialFile) {
  server_.script("/f", {Reply::file("short")});
  writeFile(file_, "longer than the file");
  ChunkedDownload::Result r = fetch("/f", 20);
  EXPECT_EQ(r.length, 0);
  EXPECT_TRUE(r.restarted);
  EXPECT_FALSE(std::filesystem::exists(file_));
}

TEST_F(ChunkedDownloadTest, AnUnexpectedStatusFailsAndLeavesTheFileAlone) {
  for (int status : {404, 500, 302}) {
    server_.script("/f", {Reply::withStatus(status)});
    writeFile(file_, "kept");
    EXPECT_EQ(errorOf<Failure>([&] { fetch("/f", 4); }),
              "The server answered " + std::to_string(status) + ".");
    EXPECT_EQ(readFile(file_), "kept");
  }
}

TEST_F(ChunkedDownloadTest, ADroppedConnectionKeepsTheBytesThatArrived) {
  server_.script("/f", {Reply::closeAfter(kBody, 1000)});
  writeFile(file_, kBody.substr(0, 100));
  try {
    fetch("/f", 100);
    ADD_FAILURE() << "no error";
  } catch (const TransportError& e) {
    EXPECT_EQ(e.kind(), TransportError::Kind::connectionLost);
  }
  EXPECT_EQ(readFile(file_), kBody.substr(0, 1100));
}

TEST_F(ChunkedDownloadTest, BadAddressesAndUnwritableFoldersFailWithSentences) {
  EXPECT_EQ(errorOf<Failure>([&] {
              ChunkedDownload::fetch("no address", file_, 0, [](std::int64_t) {});
            }),
            "Bad download address.");
  EXPECT_TRUE(server_.requests().empty());

  server_.script("/f", {Reply::file(kBody)});
  EXPECT_EQ(errorOf<Failure>([&] {
              ChunkedDownload::fetch(server_.url("/f"), dir_.file("missing/x.partial"), 0,
                                     [](std::int64_t) {});
            }),
            "Couldn't write to the download folder.");
}

TEST_F(ChunkedDownloadTest, NoServerIsATransportError) {
  std::string refused;
  {
    HttpTestServer gone;
    refused = gone.url("/f");
  }
  try {
    ChunkedDownload::fetch(refused, file_, 0, [](std::int64_t) {});
    ADD_FAILURE() << "no error";
  } catch (const TransportError& e) {
    EXPECT_EQ(e.kind(), TransportError::Kind::cannotConnect);
    EXPECT_STREQ(e.what(), "Could not connect to the server.");
  }
}

TEST_F(ChunkedDownloadTest, FollowsRedirectsWithTheRange) {
  server_.script("/moved", {Reply::redirect(server_.url("/f"))});
  server_.script("/f", {Reply::file(kBody)});
  writeFile(file_, kBody.substr(0, 300));
  ChunkedDownload::Result r = fetch("/moved", 300);
  EXPECT_EQ(r.length, 5000);
  EXPECT_EQ(readFile(file_), kBody);
  ASSERT_EQ(server_.requests("/f").size(), 1u);
  EXPECT_EQ(server_.requests("/f")[0].header("range"), "bytes=300-");
}

TEST_F(ChunkedDownloadTest, EmptyBodyMakesAnEmptyFile) {
  server_.script("/f", {Reply::file("")});
  writeFile(file_, "old");
  EXPECT_EQ(fetch("/f", 0).length, 0);
  EXPECT_TRUE(std::filesystem::exists(file_));
  EXPECT_EQ(readFile(file_), "");
}

TEST_F(ChunkedDownloadTest, ReportsTheFirstChunkThenAtMostFourTimesASecondThenTheEnd) {
  Reply dripping = Reply::file(bodyOf(4000));
  dripping.pieceBytes = 100;
  dripping.pieceDelayMs = 25;  // about a second in all
  server_.script("/f", {dripping});
  std::vector<std::pair<Clock::time_point, std::int64_t>> reports;
  ChunkedDownload::Result r = ChunkedDownload::fetch(
      server_.url("/f"), file_, 0,
      [&](std::int64_t have) { reports.emplace_back(Clock::now(), have); });
  ASSERT_GE(reports.size(), 3u);
  EXPECT_LE(reports.size(), 7u);
  EXPECT_LE(reports.front().second, 200);
  EXPECT_EQ(reports.back().second, 4000);
  EXPECT_EQ(r.length, 4000);
  for (std::size_t i = 1; i + 1 < reports.size(); ++i)
    EXPECT_GE(reports[i].first - reports[i - 1].first, std::chrono::milliseconds(250)) << i;
}

TEST_F(ChunkedDownloadTest, CancellingWhileStalledEndsAtOnceAndKeepsTheBytes) {
  server_.script("/f", {Reply::stall(kBody, 700)});
  std::stop_source stop;
  std::mutex m;
  std::int64_t seen = 0;
  std::thread canceller;
  Clock::time_point cancelledAt;
  std::string outcome;
  try {
    ChunkedDownload::fetch(
        server_.url("/f"), file_, 0,
        [&](std::int64_t have) {
          std::lock_guard lock(m);
          seen = have;
          if (!canceller.joinable())
            canceller = std::thread([&] {
              std::this_thread::sleep_for(std::chrono::milliseconds(200));
              cancelledAt = Clock::now();
              stop.request_stop();
            });
        },
        stop.get_token());
  } catch (const Cancelled&) {
    outcome = "cancelled";
  }
  Clock::time_point ended = Clock::now();
  canceller.join();
  EXPECT_EQ(outcome, "cancelled");
  EXPECT_LT(ended - cancelledAt, std::chrono::milliseconds(500));
  EXPECT_EQ(seen, 700);
  EXPECT_EQ(readFile(file_), kBody.substr(0, 700));
}

TEST_F(ChunkedDownloadTest, ASilentServerTimesOut) {
  DeliveryNetwork::Settings saved = DeliveryNetwork::settings();
  DeliveryNetwork::Settings quick = saved;
  quick.downloadIdleSeconds = 0.5;
  DeliveryNetwork::setSettings(quick);
  server_.script("/f", {Reply::stall(kBody, 10)});
  try {
    fetch("/f", 0);
    ADD_FAILURE() << "no error";
  } catch (const TransportError& e) {
    EXPECT_EQ(e.kind(), TransportError::Kind::timedOut);
    EXPECT_STREQ(e.what(), "The request timed out.");
  }
  DeliveryNetwork::setSettings(saved);
  EXPECT_EQ(readFile(file_), kBody.substr(0, 10));
}

TEST(ChunkedDownloadHttps, ResumesOverTlsWithATrustedSelfSignedCertificate) {
  HttpTestServer secure(HttpTestServer::Scheme::https);
  TempDir dir;
  std::string file = dir.file("rt.tar.gz.partial");
  secure.script("/f", {Reply::file(kBody)});
  writeFile(file, kBody.substr(0, 1234));

  DeliveryNetwork::Settings saved = DeliveryNetwork::settings();
  try {
    ChunkedDownload::fetch(secure.url("/f"), file, 1234, [](std::int64_t) {});
    ADD_FAILURE() << "an unknown certificate was trusted";
  } catch (const TransportError& e) {
    EXPECT_STREQ(e.what(),
                 "An SSL error has occurred and a secure connection to the server cannot be made.");
  }
  EXPECT_EQ(readFile(file), kBody.substr(0, 1234));

  DeliveryNetwork::Settings trusted = saved;
  trusted.extraCaBundle = secure.certificateFile();
  DeliveryNetwork::setSettings(trusted);
  ChunkedDownload::Result r = ChunkedDownload::fetch(secure.url("/f"), file, 1234, [](std::int64_t) {});
  DeliveryNetwork::setSettings(saved);
  EXPECT_EQ(r.length, 5000);
  EXPECT_FALSE(r.restarted);
  EXPECT_EQ(readFile(file), kBody);
  EXPECT_EQ(secure.requests("/f").back().header("range"), "bytes=1234-");
}

}  // namespace
}  // namespace quorvel
