// The scan pane: decoding on a worker, the zoomable picture, the zoom bar.
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPaintEvent>
#include <QResizeEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QStackedLayout>
#include <QThreadPool>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "app/detail_scan_pane.h"
#include "app/detail_view.h"
#include "app/detail_view_style.h"
#include "app/panel_style.h"
#include "core/image_tools.h"

namespace quorvel::app {

namespace {

constexpr int kSliderScale = 1000;  // slider steps per zoom unit
// Copies smaller than this on their long edge are not made.
constexpr int kSmallestLevel = 400;

}  // namespace

// The widget inside the scroll area: the picture at its zoomed size, centred
// in a canvas at least as large as the visible area.
class ScanCanvas : public QWidget {
 public:
  explicit ScanCanvas(QWidget* parent) : QWidget(parent) {}

  void setPicture(std::shared_ptr<const ScanPicture> picture) {
    picture_ = std::move(picture);
    update();
  }
  void setPictureRect(const QRect& rect) {
    pictureRect_ = rect;
    update();
  }
  const QRect& pictureRect() const { return pictureRect_; }
  bool painted() const { return painted_; }
  std::function<void()> onFirstPaint;

 protected:
  void paintEvent(QPaintEvent* event) override {
    if (!picture_ || picture_->levels.empty() || pictureRect_.isEmpty()) return;
    QPainter painter(this);
    painter.setClipRect(event->rect());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QImage& level = picture_->levelFor(pictureRect_.width() * devicePixelRatioF());
    painter.drawImage(QRectF(pictureRect_), level, QRectF(level.rect()));
    if (!painted_) {
      painted_ = true;
      if (onFirstPaint) onFirstPaint();
    }
  }

 private:
  std::shared_ptr<const ScanPicture> picture_;
  QRect pictureRect_;
  bool painted_ = false;
};

const QImage& ScanPicture::levelFor(double width) const {
  for (auto it = levels.rbegin(); it != levels.rend(); ++it) {
    if (it->width() >= width) return *it;
  }
  return levels.front();
}

double ScanPane::zoomedIn(double zoom) { return std::min(zoom * kZoomStep, kMaxZoom); }
double ScanPane::zoomedOut(double zoom) { return std::max(zoom / kZoomStep, kMinZoom); }

double ScanPane::fitFactor(QSizeF area, QSizeF picture) {
  if (picture.width() <= 0 || picture.height() <= 0) return 1.0;
  return std::min(area.height() / picture.height(), area.width() / picture.width());
}

QImage ScanPane::toQImage(const vips::VImage& source) {
  try {
    vips::VImage image = source;
    if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
    // An alpha band is drawn onto white: a scan is a sheet of paper.
    if (image.bands() == 2 || image.bands() == 4) {
      image = image.flatten(vips::VImage::option()->set("background", std::vector<double>{255.0}));
      if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
    }
    if (image.bands() != 1 && image.bands() != 3) return QImage();
    const int width = image.width();
    const int height = image.height();
    const int bands = image.bands();
    QImage result(width, height, bands == 1 ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    if (result.isNull()) return QImage();
    std::size_t size = 0;
    void* memory = image.write_to_memory(&size);
    if (!memory) return QImage();
    const std::size_t row = static_cast<std::size_t>(width) * bands;
    if (size >= row * height) {
      const auto* bytes = static_cast<const unsigned char*>(memory);
      for (int y = 0; y < height; ++y) std::memcpy(result.scanLine(y), bytes + row * y, row);
    } else {
      result = QImage();
    }
    g_free(memory);
    // The screen's own format: painting then samples it without converting.
    return result.isNull() ? result : result.convertToFormat(QImage::Format_RGB32);
  } catch (const vips::VError&) {
    vips_error_clear();
    return QImage();
  }
}

std::shared_ptr<const ScanPicture> ScanPane::decodeFile(const std::string& path, int maxLongEdge) {
  std::optional<vips::VImage> image = ImageTools::load(path, maxLongEdge);
  if (!image) return nullptr;
  auto picture = std::make_shared<ScanPicture>();
  QImage full = toQImage(*image);
  if (full.isNull()) return nullptr;
  picture->levels.push_back(std::move(full));
  // Halved copies with a box filter: cheap, and painting then scales by less
  // than two, where smooth sampling keeps fine handwriting legible.
  try {
    vips::VImage level = *image;
    while (std::max(level.width(), level.height()) / 2 >= kSmallestLevel) {
      level = level.shrink(2, 2).copy_memory();
      QImage copy = toQImage(level);
      if (copy.isNull()) break;
      picture->levels.push_back(std::move(copy));
    }
  } catch (const vips::VError&) {
    vips_error_clear();
  }
  return picture;
}

ScanPane::ScanPane(QWidget* parent)
    : QWidget(parent), link_(std::make_shared<GuiLink>(this)), gone_(std::make_shared<std::atomic<bool>>(false)) {
  setObjectName("scanPane");
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);

  auto* area = new QWidget(this);
  area->setObjectName("scanArea");
  area->setAutoFillBackground(true);
  QPalette under = area->palette();
  under.setColor(QPalette::Window, palette().color(QPalette::Window).darker(112));
  area->setPalette(under);
  stack_ = new QStackedLayout(area);

  progressPage_ = new QWidget(area);
  auto* progressLayout = new QVBoxLayout(progressPage_);
  auto* spinner = new QProgressBar(progressPage_);
  spinner->setObjectName("scanProgress");
  spinner->setRange(0, 0);
  spinner->setTextVisible(false);
  spinner->setMinimumWidth(40);
  spinner->setMaximumWidth(120);
  progressLayout->addStretch();
  progressLayout->addWidget(spinner, 0, Qt::AlignCenter);
  progressLayout->addStretch();
  stack_->addWidget(progressPage_);

  missingPage_ = new QWidget(area);
  auto* missingLayout = new QVBoxLayout(missingPage_);
  missingLayout->addStretch();
  auto* missingIcon = new QLabel(missingPage_);
  const QIcon questionFolder = detail_style::themed("dialog-question");
  if (!questionFolder.isNull()) missingIcon->setPixmap(questionFolder.pixmap(48, 48));
  missingLayout->addWidget(missingIcon, 0, Qt::AlignCenter);
  missingTitle_ = new QLabel(missingPage_);
  missingTitle_->setObjectName("missingTitle");
  missingTitle_->setAlignment(Qt::AlignCenter);
  missingTitle_->setWordWrap(true);
  QFont titleFont = missingTitle_->font();
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
  titleFont.setWeight(QFont::DemiBold);
  missingTitle_->setFont(titleFont);
  missingLayout->addWidget(missingTitle_);
  // A long path is broken wherever it must be, so a narrow pane shows all of it.
  missingText_ = new PanelStyle::ClampedText(QString(), 12, Qt::ElideRight, missingPage_);
  missingText_->setObjectName("missingText");
  missingText_->setAlignment(Qt::AlignHCenter);
  QPalette secondary = palette();
  QColor secondaryColor = secondary.color(QPalette::WindowText);
  secondaryColor.setAlphaF(0.6f);
  secondary.setColor(QPalette::WindowText, secondaryColor);
  missingText_->setColor(secondaryColor);
  missingLayout->addWidget(missingText_);
  missingLayout->addStretch();
  stack_->addWidget(missingPage_);

  scroll_ = new QScrollArea(area);
  scroll_->setObjectName("scanScroll");
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setWidgetResizable(false);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  scroll_->viewport()->setAutoFillBackground(false);
  canvas_ = new ScanCanvas(scroll_);
  canvas_->setObjectName("scanCanvas");
  canvas_->onFirstPaint = [this] { emit picturePainted(); };
  scroll_->setWidget(canvas_);
  scroll_->viewport()->installEventFilter(this);
  stack_->addWidget(scroll_);
  stack_->setCurrentWidget(progressPage_);
  outer->addWidget(area, 1);

  auto* divider = new QFrame(this);
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Plain);
  divider->setForegroundRole(QPalette::Mid);
  outer->addWidget(divider);

  auto* bar = new QWidget(this);
  bar->setObjectName("zoomBar");
  auto* barLayout = new QHBoxLayout(bar);
  barLayout->setContentsMargins(12, 8, 12, 8);
  barLayout->setSpacing(10);
  zoomOut_ = new QToolButton(bar);
  zoomOut_->setObjectName("zoomOutButton");
  zoomOut_->setAutoRaise(true);
  zoomOut_->setToolTip("Zoom out");
  detail_style::icon(zoomOut_, "zoom-out", "−");
  slider_ = new QSlider(Qt::Horizontal, bar);
  slider_->setObjectName("zoomSlider");
  slider_->setRange(static_cast<int>(kMinZoom * kSliderScale), static_cast<int>(kMaxZoom * kSliderScale));
  slider_->setValue(kSliderScale);
  slider_->setMaximumWidth(220);
  zoomIn_ = new QToolButton(bar);
  zoomIn_->setObjectName("zoomInButton");
  zoomIn_->setAutoRaise(true);
  zoomIn_->setToolTip("Zoom in");
  detail_style::icon(zoomIn_, "zoom-in", "+");
  fit_ = new QPushButton("Fit", bar);
  fit_->setObjectName("fitButton");
  fit_->setFlat(true);
  fit_->setToolTip("Fit the whole scan in the window");
  fit_->setMinimumWidth(fit_->fontMetrics().horizontalAdvance(fit_->text()) + 16);
  facts_ = new QLabel(bar);
  facts_->setObjectName("scanFacts");
  QFont caption = facts_->font();
  caption.setPointSizeF(caption.pointSizeF() * 0.85);
  facts_->setFont(caption);
  facts_->setPalette(secondary);
  facts_->hide();
  slider_->setMinimumWidth(kSliderLeast);
  barLayout->addWidget(zoomOut_);
  barLayout->addWidget(slider_, 1);
  barLayout->addWidget(zoomIn_);
  barLayout->addWidget(fit_);
  barLayout->addStretch();
  barLayout->addWidget(facts_);
  zoomBarLayout_ = barLayout;
  // A narrow pane keeps its buttons: the slider and the facts give way first.
  zoomButtonsWidth_ =
      zoomOut_->sizeHint().width() + zoomIn_->sizeHint().width() + fit_->minimumWidth();
  bar->setMinimumWidth(zoomBarParts(0, zoomButtonsWidth_, 0).least);
  outer->addWidget(bar);

  connect(zoomOut_, &QToolButton::clicked, this, [this] { setZoom(zoomedOut(zoom_)); });
  connect(zoomIn_, &QToolButton::clicked, this, [this] { setZoom(zoomedIn(zoom_)); });
  connect(fit_, &QPushButton::clicked, this, [this] { setZoom(1.0); });
  connect(slider_, &QSlider::valueChanged, this, [this](int value) {
    const double zoom = static_cast<double>(value) / kSliderScale;
    // The slider's own rounding must not move a zoom set by the buttons.
    if (std::lround(zoom_ * kSliderScale) != value) setZoom(zoom);
  });
}

ScanPane::~ScanPane() {
  gone_->store(true);
  link_->detach();
}

void ScanPane::setZoom(double zoom) {
  zoom = std::clamp(zoom, kMinZoom, kMaxZoom);
  if (zoom == zoom_) return;
  // Keep the point at the middle of the view where it is.
  const QSize view = scroll_->viewport()->size();
  const QRect before = canvas_->pictureRect();
  double fx = 0.5, fy = 0.5;
  if (before.width() > 0 && before.height() > 0) {
    fx = (scroll_->horizontalScrollBar()->value() + view.width() / 2.0 - before.x()) / before.width();
    fy = (scroll_->verticalScrollBar()->value() + view.height() / 2.0 - before.y()) / before.height();
  }
  zoom_ = zoom;
  {
    const QSignalBlocker blocker(slider_);
    slider_->setValue(static_cast<int>(std::lround(zoom_ * kSliderScale)));
  }
  layoutCanvas();
  const QRect after = canvas_->pictureRect();
  scroll_->horizontalScrollBar()->setValue(static_cast<int>(after.x() + fx * after.width() - view.width() / 2.0));
  scroll_->verticalScrollBar()->setValue(static_cast<int>(after.y() + fy * after.height() - view.height() / 2.0));
}

ScanPane::ZoomBarParts ScanPane::zoomBarParts(int width, int buttonsWidth, int factsWidth) {
  constexpr int kSpacing = 10, kMargin = 12, kTightSpacing = 4, kTightMargin = 6;
  ZoomBarParts parts;
  parts.least = 2 * kTightMargin + buttonsWidth + 2 * kTightSpacing;
  const int roomy = 2 * kMargin + buttonsWidth + 2 * kSpacing;  // the three buttons
  parts.slider = width >= roomy + kSpacing + kSliderLeast;
  parts.facts = parts.slider && width >= roomy + 2 * kSpacing + kSliderLeast + factsWidth;
  parts.spacing = width >= roomy ? kSpacing : kTightSpacing;
  parts.margin = width >= roomy ? kMargin : kTightMargin;
  return parts;
}

void ScanPane::setFacts(const std::optional<QString>& facts) {
  hasFacts_ = facts.has_value();
  facts_->setText(facts.value_or(QString()));
  fitZoomBar();
}

void ScanPane::fitZoomBar() {
  const ZoomBarParts parts = zoomBarParts(width(), zoomButtonsWidth_, facts_->sizeHint().width());
  slider_->setVisible(parts.slider);
  facts_->setVisible(hasFacts_ && parts.facts);
  zoomBarLayout_->setSpacing(parts.spacing);
  zoomBarLayout_->setContentsMargins(parts.margin, 8, parts.margin, 8);
}

void ScanPane::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  fitZoomBar();
}

void ScanPane::showMissing(const std::string& path, bool fileThere) {
  missingTitle_->setText(fileThere ? "Scan couldn't be opened" : "Scan not found");
  missingText_->setText(QString::fromStdString(fileThere ? DetailText::unreadableDescription(path)
                                                         : DetailText::missingDescription(path)));
  if (!picture_) stack_->setCurrentWidget(missingPage_);
}

ScanPane::Showing ScanPane::showing() const {
  if (stack_->currentWidget() == scroll_) return Showing::picture;
  if (stack_->currentWidget() == missingPage_) return Showing::missing;
  return Showing::progress;
}

QSize ScanPane::pictureSize() const { return picture_ ? picture_->size() : QSize(); }
QRect ScanPane::pictureRect() const { return canvas_->pictureRect(); }
QSize ScanPane::viewportSize() const { return scroll_->viewport()->size(); }

void ScanPane::decode(const std::string& path) {
  GuiLinkPtr link = link_;
  std::shared_ptr<std::atomic<bool>> gone = gone_;
  QThreadPool::globalInstance()->start([link, gone, path, this] {
    // A large scan comes in two steps: first at the size the pane shows it
    // fitted (a JPEG then decodes at a fraction of its size, so the page
    // shows it at once), then at the full bounded size for zooming in.
    const ImageTools::PixelSize size = ImageTools::dimensions(path);
    const bool twoSteps = std::max(size.width, size.height) > kPreviewLongEdge;
    if (twoSteps) {
      std::shared_ptr<const ScanPicture> preview = decodeFile(path, kPreviewLongEdge);
      if (preview) {
        // The post runs only while the pane exists: the link drops it once the pane is gone.
        link->post([this, preview] { setPicture(preview, /*final=*/false); });
      }
      if (gone->load()) return;
    }
    std::shared_ptr<const ScanPicture> picture = decodeFile(path, kMaxLongEdge);
    link->post([this, picture] {
      if (picture) setPicture(picture, /*final=*/true);
      emit decoded(picture != nullptr || picture_ != nullptr);
    });
  });
}

void ScanPane::setPicture(std::shared_ptr<const ScanPicture> picture, bool final) {
  picture_ = std::move(picture);
  finalPicture_ = final;
  canvas_->setPicture(picture_);
  stack_->setCurrentWidget(scroll_);
  layoutCanvas();
}

void ScanPane::layoutCanvas() {
  const QSize view = scroll_->viewport()->size();
  if (!picture_) {
    canvas_->resize(view);
    return;
  }
  // Fitted to the whole area, not the viewport: scroll bars coming and going
  // must not change the fitted size.
  const QSizeF size = picture_->size();
  const double scale = fitFactor(scroll_->size(), size) * zoom_;
  const QSize shown(std::max(1, static_cast<int>(std::lround(size.width() * scale))),
                    std::max(1, static_cast<int>(std::lround(size.height() * scale))));
  const QSize canvas(std::max(shown.width(), view.width()), std::max(shown.height(), view.height()));
  canvas_->resize(canvas);
  canvas_->setPictureRect(QRect(QPoint((canvas.width() - shown.width()) / 2,
                                       (canvas.height() - shown.height()) / 2),
                                shown));
}

bool ScanPane::eventFilter(QObject* watched, QEvent* event) {
  if (watched == scroll_->viewport() && event->type() == QEvent::Resize) layoutCanvas();
  return QWidget::eventFilter(watched, event);
}

}  // namespace quorvel::app
