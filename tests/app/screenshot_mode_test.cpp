#include <gtest/gtest.h>

#include <QImage>
#include <QWidget>
#include <filesystem>

#include "app/screenshot_mode.h"
#include "app/window_list.h"
#include "app_test_support.h"

namespace quorvel::testing {
namespace {

using namespace quorvel::app;

TEST(SnapshotterTest, TranslateIdReadsSignedDecimalDigitsOnly) {
  struct Case {
    const char* value;
    std::optional<std::int64_t> id;
  };
  const std::vector<Case> cases{{nullptr, std::nullopt}, {"", std::nullopt},  {"12", 12},
                                {"+7", 7},               {"-3", -3},          {"abc", std::nullopt},
                                {"12a", std::nullopt},   {"+", std::nullopt}, {" 12", std::nullopt}};
  for (const Case& c : cases) EXPECT_EQ(Snapshotter::translateId(c.value), c.id) << (c.value ? c.value : "null");
}

TEST(SnapshotterTest, ShootNamesPicturesByWindowPlaceAndFiltersWideWindows) {
  TempDir out;
  QWidget mainWindow, hidden, tiny, settings;
  mainWindow.resize(1000, 700);
  tiny.resize(40, 40);
  settings.resize(560, 520);
  for (QWidget* w : {&mainWindow, &hidden, &tiny, &settings}) WindowList::add(w);
  const auto all = WindowList::all();
  const auto place = [&](QWidget* w) {
    return std::to_string(std::find(all.begin(), all.end(), w) - all.begin());
  };
  mainWindow.show();
  tiny.show();
  settings.show();
  pump(50);

  EXPECT_EQ(Snapshotter::shoot(out.path(), "1-library", false), 2);
  const QImage picture(QString::fromStdString(out.file("1-library-w" + place(&mainWindow) + ".png")));
  EXPECT_EQ(picture.width(), 1000);
  EXPECT_TRUE(std::filesystem::exists(out.file("1-library-w" + place(&settings) + ".png")));
  EXPECT_FALSE(std::filesystem::exists(out.file("1-library-w" + place(&tiny) + ".png")));

  EXPECT_EQ(Snapshotter::shoot(out.path(), "4-settings0", true), 1);
  EXPECT_TRUE(std::filesystem::exists(out.file("4-settings0-w" + place(&settings) + ".png")));
  EXPECT_FALSE(std::filesystem::exists(out.file("4-settings0-w" + place(&mainWindow) + ".png")));
}

}  // namespace
}  // namespace quorvel::testing
