#include "app/components.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QThread>
#include <QThreadPool>
#include <algorithm>
#include <limits>

namespace quorvel::app {

namespace Palette {
QColor airBlue() {
  static const QColor color = QColor::fromRgbF(0.14f, 0.27f, 0.54f);
  return color;
}
QColor airRed() {
  static const QColor color = QColor::fromRgbF(0.76f, 0.23f, 0.17f);
  return color;
}
QColor flag() {
  static const QColor color = QColor::fromRgbF(0.95f, 0.85f, 0.64f);
  return color;
}

QColor withAlpha(QColor color, double alpha) {
  color.setAlphaF(static_cast<float>(alpha));
  return color;
}
}  // namespace Palette

RoundedBox::RoundedBox(QColor fill, std::optional<QColor> stroke, QWidget* parent)
    : QWidget(parent), fill_(fill), stroke_(stroke) {}

void RoundedBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
  painter.fillPath(path, fill_);
  if (stroke_) {
    painter.setPen(QPen(*stroke_, 1));
    painter.drawPath(path);
  }
}

// ---- ThumbnailCache ----

ThumbnailCache& ThumbnailCache::shared() {
  static ThumbnailCache* cache = new ThumbnailCache();  // lives until the process ends
  return *cache;
}

std::optional<QImage> ThumbnailCache::cached(const QString& path) const {
  std::lock_guard lock(lock_);
  if (const QImage* image = cache_.object(path)) return *image;
  return std::nullopt;
}

bool ThumbnailCache::failed(const QString& path) const {
  std::lock_guard lock(lock_);
  return failed_.count(path) > 0;
}

void ThumbnailCache::forgetFailures() {
  std::lock_guard lock(lock_);
  failed_.clear();
}

void ThumbnailCache::retry(const QString& path) {
  {
    std::lock_guard lock(lock_);
    failed_.erase(path);
  }
  request(path);
}

// Thumbnails are shown at most 240 by 150 (the picture of a library card):
// they are decoded to fit that box, so that 600 of them stay near 70 MB and
// the grid draws them without scaling.
static const QSize kThumbnailBox(240, 150);

static std::optional<QImage> decodeThumbnail(const QString& path, qreal ratio = 1.0) {
  QImageReader reader(path);
  reader.setAutoTransform(true);
  const QSize full = reader.size();
  const QSize box = kThumbnailBox * std::max<qreal>(1.0, ratio);
  if (full.isValid() && (full.width() > box.width() || full.height() > box.height())) {
    reader.setScaledSize(full.scaled(box, Qt::KeepAspectRatio));
  }
  QImage image = reader.read();
  if (image.isNull()) return std::nullopt;
  return image;
}

std::optional<QImage> ThumbnailCache::loadNow(const QString& path) {
  std::optional<QImage> image = decodeThumbnail(path, qApp ? qApp->devicePixelRatio() : 1.0);
  std::lock_guard lock(lock_);
  if (image) {
    cache_.insert(path, new QImage(*image));
    failed_.erase(path);
  } else {
    failed_.insert(path);
  }
  return image;
}

void ThumbnailCache::request(const QString& path) {
  {
    std::lock_guard lock(lock_);
    if (cache_.contains(path) || inFlight_.count(path) || failed_.count(path)) return;
    inFlight_.insert(path);
  }
  // Requests wait on a stack drained by at most two low-priority threads of a
  // pool of their own: the newest request (the card just scrolled into view)
  // is decoded first, decoding never competes with the GUI thread for every
  // core, and a burst of requests wakes no more than two threads.
  static QThreadPool* pool = [] {
    auto* made = new QThreadPool();  // lives until the process ends
    made->setMaxThreadCount(kDecoders);
    made->setThreadPriority(QThread::LowPriority);
    return made;
  }();
  bool startDrainer = false;
  {
    std::lock_guard lock(lock_);
    waiting_.push_back(path);
    if (drainers_ < kDecoders) {
      ++drainers_;
      startDrainer = true;
    }
  }
  if (!startDrainer) return;
  const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
  pool->start([this, ratio] { drain(ratio); });
}

void ThumbnailCache::drain(qreal ratio) {
  for (;;) {
    QString path;
    {
      std::lock_guard lock(lock_);
      if (waiting_.empty()) {
        --drainers_;
        return;
      }
      path = waiting_.back();
      waiting_.pop_back();
    }
    std::optional<QImage> image = decodeThumbnail(path, ratio);
    {
      std::lock_guard lock(lock_);
      inFlight_.erase(path);
      if (image) {
        cache_.insert(path, new QImage(*image));
        failed_.erase(path);
      } else {
        failed_.insert(path);
      }
    }
    const bool ok = image.has_value();
    QMetaObject::invokeMethod(this, [this, path, ok] { emit loaded(path, ok); }, Qt::QueuedConnection);
  }
}

// ---- ThumbnailView ----

ThumbnailView::ThumbnailView(std::optional<QString> path, QWidget* parent)
    : QWidget(parent), path_(std::move(path)) {
  connect(&ThumbnailCache::shared(), &ThumbnailCache::loaded, this,
          [this](const QString& loadedPath, bool ok) {
            if (!path_ || *path_ != loadedPath) return;
            image_ = ok ? ThumbnailCache::shared().cached(loadedPath) : std::nullopt;
            update();
          });
}

void ThumbnailView::setPath(std::optional<QString> path) {
  if (path == path_) return;
  path_ = std::move(path);
  image_.reset();
  if (isVisible()) startLoading();
  update();
}

void ThumbnailView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Each new appearance tries a file that failed before once more.
  if (path_ && !image_) ThumbnailCache::shared().retry(*path_);
  startLoading();
}

void ThumbnailView::startLoading() {
  if (!path_) {
    image_.reset();
    return;
  }
  image_ = ThumbnailCache::shared().cached(*path_);
  if (!image_) ThumbnailCache::shared().request(*path_);
}

void paintThumbnailPlaceholder(QPainter& painter, const QRect& rect) {
  QColor faint = QApplication::palette().color(QPalette::WindowText);
  faint.setAlphaF(0.06f);
  painter.fillRect(rect, faint);
  const int side = std::min({rect.width(), rect.height(), 28});
  if (side < 8) return;
  const QIcon icon = QIcon::fromTheme("image-x-generic");
  QRect iconRect(0, 0, side, side);
  iconRect.moveCenter(rect.center());
  painter.setOpacity(0.35);
  icon.paint(&painter, iconRect);
  painter.setOpacity(1.0);
}

void ThumbnailView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (!image_) {
    paintThumbnailPlaceholder(painter, rect());
    return;
  }
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  QSize scaled = image_->size().scaled(size(), Qt::KeepAspectRatio);
  QRect target(QPoint(0, 0), scaled);
  target.moveCenter(rect().center());
  painter.drawImage(target, *image_);
}

// ---- Flow arrangement ----

FlowArrangement arrangeFlow(int maxWidth, const std::vector<QSize>& itemSizes, int spacing) {
  FlowArrangement result;
  int x = 0, y = 0, lineHeight = 0, right = 0;
  for (const QSize& size : itemSizes) {
    if (x > 0 && x + size.width() > maxWidth) {
      y += lineHeight + spacing;
      x = 0;
      lineHeight = 0;
    }
    result.points.emplace_back(x, y);
    x += size.width() + spacing;
    lineHeight = std::max(lineHeight, size.height());
    right = std::max(right, x - spacing);
  }
  result.size = QSize(right, itemSizes.empty() ? 0 : y + lineHeight);
  return result;
}

FlowLayout::FlowLayout(int spacing, QWidget* parent) : QLayout(parent), flowSpacing_(spacing) {
  setContentsMargins(0, 0, 0, 0);
}

FlowLayout::~FlowLayout() {
  while (QLayoutItem* item = takeAt(0)) delete item;
}

void FlowLayout::addItem(QLayoutItem* item) { items_.append(item); }
int FlowLayout::count() const { return static_cast<int>(items_.size()); }
QLayoutItem* FlowLayout::itemAt(int index) const {
  return index >= 0 && index < items_.size() ? items_.at(index) : nullptr;
}
QLayoutItem* FlowLayout::takeAt(int index) {
  return index >= 0 && index < items_.size() ? items_.takeAt(index) : nullptr;
}

std::vector<QSize> FlowLayout::sizes() const {
  std::vector<QSize> result;
  for (QLayoutItem* item : items_) {
    if (item->widget() && item->widget()->isHidden()) {
      result.emplace_back(0, 0);
      continue;
    }
    result.push_back(item->sizeHint());
  }
  return result;
}

QSize FlowLayout::sizeHint() const {
  return arrangeFlow(std::numeric_limits<int>::max() / 2, sizes(), flowSpacing_).size;
}

QSize FlowLayout::minimumSize() const {
  int width = 0;
  for (const QSize& size : sizes()) width = std::max(width, size.width());
  return QSize(width, heightForWidth(width));
}

int FlowLayout::heightForWidth(int width) const {
  return arrangeFlow(width, sizes(), flowSpacing_).size.height();
}

void FlowLayout::setGeometry(const QRect& rect) {
  QLayout::setGeometry(rect);
  const std::vector<QSize> itemSizes = sizes();
  const FlowArrangement arrangement = arrangeFlow(rect.width(), itemSizes, flowSpacing_);
  for (int i = 0; i < items_.size(); ++i) {
    items_[i]->setGeometry(QRect(rect.topLeft() + arrangement.points[i], itemSizes[i]));
  }
}

void FlowLayout::clear() {
  while (QLayoutItem* item = takeAt(0)) {
    if (QWidget* widget = item->widget()) widget->deleteLater();
    delete item;
  }
  invalidate();
}

// ---- Chip ----

Chip::Chip(const QString& text, const QColor& tint, QWidget* trailing, QWidget* parent)
    : QWidget(parent), label_(new QLabel(text, this)), tint_(tint) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(9, 4, 9, 4);
  layout->setSpacing(4);
  label_->setTextFormat(Qt::PlainText);
  layout->addWidget(label_);
  if (trailing) {
    trailing->setParent(this);
    layout->addWidget(trailing);
  }
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QString Chip::text() const { return label_->text(); }

void Chip::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath capsule;
  const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  capsule.addRoundedRect(bounds, bounds.height() / 2, bounds.height() / 2);
  painter.fillPath(capsule, tint_);
}

// ---- SectionLabel ----

SectionLabel::SectionLabel(const QString& text, QWidget* parent)
    : QLabel(text.toUpper(), parent), source_(text) {
  QFont font = this->font();
  font.setPointSizeF(font.pointSizeF() * 0.85);
  font.setWeight(QFont::DemiBold);
  font.setLetterSpacing(QFont::AbsoluteSpacing, 0.8);
  setFont(font);
  QPalette palette = this->palette();
  QColor secondary = palette.color(QPalette::WindowText);
  secondary.setAlphaF(0.6f);
  palette.setColor(QPalette::WindowText, secondary);
  setPalette(palette);
  setTextFormat(Qt::PlainText);
}

}  // namespace quorvel::app
