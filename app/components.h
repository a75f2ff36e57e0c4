#pragma once
// Small view pieces shared by every window: the three colours, the cache of
// decoded thumbnails and the widget that shows one, a line-wrapping layout,
// a capsule-shaped tag and a small section heading. They hold no application
// state and call no core service.
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include <QCache>
#include <QColor>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QObject>
#include <QPoint>
#include <QSize>
#include <QString>
#include <QWidget>

class QHBoxLayout;

namespace quorvel::app {

// The application's colours, sRGB and opaque; callers apply their own opacity.
namespace Palette {
QColor airBlue();  // the accent and window tint
QColor airRed();   // warnings
QColor flag();     // highlights such as uncertain words
// The colour at the opacity (0 to 1).
QColor withAlpha(QColor color, double alpha);
}  // namespace Palette

// A plain box drawn as a rounded rectangle (radius 8) filled with `fill` and,
// when given, outlined with `stroke`; its children lie on top.
class RoundedBox : public QWidget {
 public:
  RoundedBox(QColor fill, std::optional<QColor> stroke = std::nullopt, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor fill_;
  std::optional<QColor> stroke_;
};

// Decoded thumbnails by the path stored in the item (exactly, no
// normalisation), at most 600 of them. One per process, shared(). Lookups
// happen on the GUI thread; decoding runs on a worker pool and stores into
// the cache from there. A path being decoded is decoded once however often it
// is requested; a path whose decode failed is not decoded again until
// forgetFailures() or retry(), so a repaint never re-reads a bad file.
class ThumbnailCache : public QObject {
  Q_OBJECT

 public:
  static ThumbnailCache& shared();
  static constexpr int kCountLimit = 600;

  // The decoded image when it is in the cache; reads no file. Any thread.
  std::optional<QImage> cached(const QString& path) const;
  // Decodes the file off the GUI thread unless it is cached, being decoded,
  // or failed before; `loaded` follows on the GUI thread.
  void request(const QString& path);
  // Requests the path again even when it failed before.
  void retry(const QString& path);
  // Lets every failed path be tried again by the next request.
  void forgetFailures();
  // True when the last decode of the path failed.
  bool failed(const QString& path) const;
  // Decodes on the calling thread and stores the result (tests, benchmarks).
  std::optional<QImage> loadNow(const QString& path);

 signals:
  // On the GUI thread after a decode: ok false when the file gave no image.
  void loaded(const QString& path, bool ok);

 private:
  ThumbnailCache() = default;
  static constexpr int kDecoders = 2;
  // Decodes waiting paths, newest first, until none is left.
  void drain(qreal ratio);
  mutable std::mutex lock_;
  QCache<QString, QImage> cache_{kCountLimit};  // guarded by lock_
  std::set<QString> inFlight_;                  // guarded by lock_
  std::set<QString> failed_;                    // guarded by lock_
  std::vector<QString> waiting_;                // requested, not yet decoding; guarded by lock_
  int drainers_ = 0;                            // threads draining waiting_; guarded by lock_
};

// One thumbnail, scaled to fit the widget's size with its own aspect ratio,
// or the placeholder (a faint rectangle with a photo icon) while there is no
// image. Its size is set by its user.
class ThumbnailView : public QWidget {
  Q_OBJECT

 public:
  explicit ThumbnailView(std::optional<QString> path = std::nullopt, QWidget* parent = nullptr);
  void setPath(std::optional<QString> path);
  const std::optional<QString>& path() const { return path_; }
  bool hasImage() const { return image_.has_value(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void startLoading();
  std::optional<QString> path_;
  std::optional<QImage> image_;
};

// Paints the placeholder of a missing thumbnail into the rectangle.
void paintThumbnailPlaceholder(class QPainter& painter, const QRect& rect);

// The flow arrangement: each item at its ideal size left to right, wrapping
// to a new line when it would pass maxWidth (the first item of a line never
// wraps; an item ending exactly at maxWidth stays). Returns the size needed
// and each item's top-left point.
struct FlowArrangement {
  QSize size;
  std::vector<QPoint> points;
};
FlowArrangement arrangeFlow(int maxWidth, const std::vector<QSize>& itemSizes, int spacing);

// A layout that places its widgets by arrangeFlow().
class FlowLayout : public QLayout {
 public:
  explicit FlowLayout(int spacing, QWidget* parent = nullptr);
  ~FlowLayout() override;
  void addItem(QLayoutItem* item) override;
  int count() const override;
  QLayoutItem* itemAt(int index) const override;
  QLayoutItem* takeAt(int index) override;
  QSize sizeHint() const override;
  QSize minimumSize() const override;
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  void setGeometry(const QRect& rect) override;
  Qt::Orientations expandingDirections() const override { return {}; }
  // Removes and deletes every item and its widget.
  void clear();

 private:
  std::vector<QSize> sizes() const;
  QList<QLayoutItem*> items_;
  int flowSpacing_;
};

// A capsule-shaped tag: the text on one line and an optional trailing widget
// (a small button or an icon), on a tinted background.
class Chip : public QWidget {
  Q_OBJECT

 public:
  Chip(const QString& text, const QColor& tint, QWidget* trailing = nullptr,
       QWidget* parent = nullptr);
  QString text() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QLabel* label_;
  QColor tint_;
};

// A small heading: the text in capitals, caption size, semibold, spaced letters,
// in the secondary text colour. text() keeps the text as given.
class SectionLabel : public QLabel {
  Q_OBJECT

 public:
  explicit SectionLabel(const QString& text, QWidget* parent = nullptr);
  const QString& sourceText() const { return source_; }

 private:
  QString source_;
};

}  // namespace quorvel::app
