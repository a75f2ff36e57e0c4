// The program's icon is built in, so windows have it before (and without)
// an install that puts it in the icon theme.
#include <gtest/gtest.h>

#include <QIcon>
#include <QImage>
#include <QPixmap>

#include "app/app_icon.h"

namespace {

TEST(AppIcon, TheBuiltInIconDrawsAtTheSizesWindowsAskFor) {
  const QIcon icon = quorvel::app::appIcon();
  ASSERT_FALSE(icon.isNull());
  for (int size : {16, 32, 64, 256}) {
    const QImage image = icon.pixmap(size).toImage();
    ASSERT_EQ(image.width(), size);
    // The middle of the icon is drawn, not transparent.
    EXPECT_GT(qAlpha(image.pixel(size / 2, size / 2)), 200) << size;
  }
}

}  // namespace
