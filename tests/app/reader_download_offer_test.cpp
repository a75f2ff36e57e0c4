#include "app/reader_download_offer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "app_test_support.h"

namespace quorvel::testing {
namespace {

TEST(ReaderDownloadOfferTest, TextsCarryTheBuiltInSize) {
  EXPECT_EQ(app::ReaderDownloadOffer::sizeText(), "3.1 GB");
  EXPECT_EQ(app::ReaderDownloadOffer::downloadLabel(), "Download (3.1 GB)");
  EXPECT_NE(app::ReaderDownloadOffer::message(true).find("It's a one-time 3.1 GB download;"),
            std::string::npos);
  EXPECT_NE(app::ReaderDownloadOffer::message(true).find("runs entirely on this computer"),
            std::string::npos);
}

TEST(ReaderDownloadOfferTest, WithoutAServerToGetTheOfferSaysSoFirst) {
  EXPECT_EQ(app::ReaderDownloadOffer::message(false),
            "There's no handwriting reader for this kind of computer yet. To get one, run "
            "scripts/install-reader.sh from Quorvel Ink's source folder, or install llama.cpp "
            "from your distribution, so that llama-server is on PATH. Until then the download "
            "can't start; once it is there, the download fetches the 3.1 GB model that runs "
            "entirely on this computer.");
  // As things are: a llama-server on PATH makes the download possible.
  TempDir without, with;
  const std::string server = with.file("llama-server");
  std::filesystem::copy_file(QUORVEL_TOOLS_DIR "/fake-llama-server", server);
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  unsetenv("QUORVEL_MANIFEST_URL");
  setenv("PATH", without.path().c_str(), 1);
  EXPECT_EQ(app::ReaderDownloadOffer::message(), app::ReaderDownloadOffer::message(false));
  setenv("PATH", with.path().c_str(), 1);
  EXPECT_EQ(app::ReaderDownloadOffer::message(), app::ReaderDownloadOffer::message(true));
  setenv("PATH", path.c_str(), 1);
}

TEST(ReaderDownloadOfferTest, NotNowStartsNothingAndClearsTheIds) {
  ModelFixture fixture;
  app::AppModel& model = fixture.make();
  std::optional<std::vector<std::int64_t>> ids = std::vector<std::int64_t>{7};
  fixture.panels.confirmAnswers.push_back(false);
  EXPECT_FALSE(app::ReaderDownloadOffer::present(model, ids));
  EXPECT_FALSE(ids.has_value());
  EXPECT_FALSE(model.downloadRunning());
  ASSERT_EQ(fixture.panels.confirmRequests.size(), 1u);
  EXPECT_EQ(fixture.panels.confirmRequests[0], "Download the handwriting reader?");
  EXPECT_EQ(fixture.panels.confirmButtons[0],
            std::make_pair(std::string("Download (3.1 GB)"), std::string("Not Now")));

  // Without ids there is nothing to offer.
  EXPECT_FALSE(app::ReaderDownloadOffer::present(model, ids));
  EXPECT_EQ(fixture.panels.confirmRequests.size(), 1u);
}

}  // namespace
}  // namespace quorvel::testing
