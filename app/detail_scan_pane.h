#pragma once
// The scan pane of the item page: the scan fitted into the pane and zoomable
// from 0.5 to 6 times the fitted size, with the zoom bar under it (zoom out,
// slider, zoom in, Fit, and the item's size and file size).
//
// The scan is decoded by the core's image helpers on a worker thread: every
// supported format, the stored orientation applied, at most 4200 pixels on its
// long edge whatever the file's size. Until the picture arrives the pane shows
// a progress indicator; a file that is missing or cannot be decoded shows the
// missing-file text. A result that arrives after the pane is gone is dropped.
// GUI thread only, apart from the decoding.
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <vips/vips8>

#include <QImage>
#include <QWidget>

#include "app/background.h"

class QHBoxLayout;
class QLabel;
class QScrollArea;
class QSlider;
class QStackedLayout;
class QToolButton;
class QPushButton;

namespace quorvel::app {

namespace PanelStyle {
class ClampedText;
}
class ScanCanvas;

// The decoded scan: the picture and smaller copies of it, each half the size
// of the one before, so that painting at any zoom samples a copy close to the
// size shown.
struct ScanPicture {
  std::vector<QImage> levels;  // levels[0]: the picture as decoded
  QSize size() const { return levels.empty() ? QSize() : levels.front().size(); }
  // The smallest copy at least `width` pixels wide, else the largest.
  const QImage& levelFor(double width) const;
};

class ScanPane : public QWidget {
  Q_OBJECT

 public:
  static constexpr double kMinZoom = 0.5;
  static constexpr double kMaxZoom = 6.0;
  static constexpr double kZoomStep = 1.25;
  // The longest edge the scan is decoded at.
  static constexpr int kMaxLongEdge = 4200;

  // One step in: zoom × 1.25, at most 6.
  static double zoomedIn(double zoom);
  // One step out: zoom / 1.25, at least 0.5.
  static double zoomedOut(double zoom);
  // The factor that shows the whole picture inside the area: the smaller of
  // the two ratios; 1 for an empty picture.
  static double fitFactor(QSizeF area, QSizeF picture);
  // The long edge of the first, quick decode of a larger scan: enough for the
  // pane showing it fitted on a large screen.
  static constexpr int kPreviewLongEdge = 1600;
  // Decodes the file at most maxLongEdge pixels on its long edge; none when
  // it cannot be read or decoded.
  static std::shared_ptr<const ScanPicture> decodeFile(const std::string& path, int maxLongEdge);
  // The picture of a decoded libvips image (8-bit grey or sRGB, alpha
  // flattened onto white); a null image when it cannot be converted.
  static QImage toQImage(const vips::VImage& image);

  // What the zoom bar shows at a width, given the widths its three buttons
  // and its facts take: the slider, then the facts, while there is room for
  // them; its gaps and margins shrink where even the buttons are short of
  // room. `least` is the narrowest bar, the buttons alone.
  struct ZoomBarParts {
    bool slider = true;
    bool facts = true;
    int spacing = 10;
    int margin = 12;
    int least = 0;
    bool operator==(const ZoomBarParts&) const = default;
  };
  static constexpr int kSliderLeast = 60;
  static ZoomBarParts zoomBarParts(int width, int buttonsWidth, int factsWidth);

  enum class Showing { progress, missing, picture };

  explicit ScanPane(QWidget* parent = nullptr);
  ~ScanPane() override;

  double zoom() const { return zoom_; }
  // Sets the zoom, kept between 0.5 and 6.
  void setZoom(double zoom);
  // The text at the end of the zoom bar; none hides it.
  void setFacts(const std::optional<QString>& facts);
  // Shows that the scan is not at its path or, when the file is there, that
  // it could not be opened (a picture already shown stays).
  void showMissing(const std::string& path, bool fileThere);
  // Decodes the file on a worker: a scan larger than kPreviewLongEdge first
  // at that size, shown as soon as it is ready, then at kMaxLongEdge.
  // `decoded` follows the last step on the GUI thread.
  void decode(const std::string& path);
  Showing showing() const;
  // The decoded picture's size; empty while there is none.
  QSize pictureSize() const;
  // True once the picture at its full bounded size is shown.
  bool finalPicture() const { return finalPicture_; }
  // The rectangle the picture takes inside the scrolled canvas.
  QRect pictureRect() const;
  // The visible part of the scan area.
  QSize viewportSize() const;

 signals:
  // After a decode: ok false when the file gave no picture.
  void decoded(bool ok);
  // The first time the picture has been painted.
  void picturePainted();

 private:
  void setPicture(std::shared_ptr<const ScanPicture> picture, bool final);
  void layoutCanvas();
  void fitZoomBar();
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

  GuiLinkPtr link_;
  std::shared_ptr<std::atomic<bool>> gone_;  // set when the pane goes; read by its decoder
  bool finalPicture_ = false;
  double zoom_ = 1.0;
  std::shared_ptr<const ScanPicture> picture_;
  QStackedLayout* stack_ = nullptr;
  QWidget* progressPage_ = nullptr;
  QWidget* missingPage_ = nullptr;
  QLabel* missingTitle_ = nullptr;
  PanelStyle::ClampedText* missingText_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  ScanCanvas* canvas_ = nullptr;
  QToolButton* zoomOut_ = nullptr;
  QSlider* slider_ = nullptr;
  QToolButton* zoomIn_ = nullptr;
  QPushButton* fit_ = nullptr;
  QLabel* facts_ = nullptr;
  bool hasFacts_ = false;
  QHBoxLayout* zoomBarLayout_ = nullptr;
  int zoomButtonsWidth_ = 0;
};

}  // namespace quorvel::app
