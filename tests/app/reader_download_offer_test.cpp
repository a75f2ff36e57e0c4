#include "app/reader_download_offer.h"

#include <gtest/gtest.h>

#include "app_test_support.h"

namespace quorvel::testing {
namespace {

TEST(ReaderDownloadOfferTest, TextsCarryTheBuiltInSize) {
  EXPECT_EQ(app::ReaderDownloadOffer::sizeText(), "3.1 GB");
  EXPECT_EQ(app::ReaderDownloadOffer::downloadLabel(), "Download (3.1 GB)");
  EXPECT_NE(app::ReaderDownloadOffer::message().find("It's a one-time 3.1 GB download;"),
            std::string::npos);
  EXPECT_NE(app::ReaderDownloadOffer::message().find("runs entirely on this computer"),
            std::string::npos);
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
