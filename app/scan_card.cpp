#include "app/scan_card.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QListView>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>
#include <QToolTip>
#include <algorithm>
#include <cmath>

#include "app/components.h"

namespace quorvel::app {

using Palette::withAlpha;

namespace ScanCard {

std::vector<Run> highlighted(const QString& text) {
  std::vector<Run> runs;
  auto append = [&runs](const QString& piece, bool hit) {
    if (piece.isEmpty()) return;
    if (!runs.empty() && runs.back().hit == hit) {
      runs.back().text += piece;
    } else {
      runs.push_back(Run{piece, hit});
    }
  };
  qsizetype from = 0;
  while (from < text.size()) {
    const qsizetype open = text.indexOf(QLatin1Char('['), from);
    if (open < 0) break;
    const qsizetype close = text.indexOf(QLatin1Char(']'), open + 1);
    if (close < 0) break;
    append(text.mid(from, open - from), false);
    append(text.mid(open + 1, close - open - 1), true);
    from = close + 1;
  }
  append(text.mid(from), false);
  return runs;
}

std::vector<Badge> badges(const ArchiveItem& item) {
  std::vector<Badge> result;
  if (item.ocrStatus == OcrStatus::pending || item.ocrStatus == OcrStatus::running) result.push_back(Badge::waiting);
  if (item.ocrStatus == OcrStatus::failed) result.push_back(Badge::failed);
  if (item.favorite) result.push_back(Badge::favorite);
  return result;
}

QString badgeHelp(Badge badge) {
  switch (badge) {
    case Badge::waiting:
      return QStringLiteral("Waiting to be read");
    case Badge::failed:
      return QStringLiteral("Couldn't be read");
    case Badge::favorite:
      break;
  }
  return QString();
}

QString accessibleText(const ArchiveItem& item, const QString& subtitle) {
  QString plain = subtitle;
  plain.remove(QLatin1Char('[')).remove(QLatin1Char(']'));
  return QString::fromStdString(item.displayTitle()) + QStringLiteral(", ") + plain;
}

namespace {
QFont titleFont(const QFont& base) {
  QFont font = base;
  font.setPointSizeF(base.pointSizeF() * 0.95);
  font.setWeight(QFont::Medium);
  return font;
}
QFont captionFont(const QFont& base) {
  QFont font = base;
  font.setPointSizeF(base.pointSizeF() * 0.85);
  return font;
}
}  // namespace

int cardHeight(const QFont& font) {
  const int title = QFontMetrics(titleFont(font)).height();
  const int caption = QFontMetrics(captionFont(font)).height();
  return kPictureHeight + std::max(kTextMinHeight, 10 + title + 2 + 2 * caption + 10);
}

}  // namespace ScanCard

namespace {

const ArchiveItem* itemOf(const QModelIndex& index) {
  return static_cast<const ArchiveItem*>(index.data(ScanCardDelegate::kItemRole).value<const void*>());
}

// An hourglass: two triangles meeting at the centre, inside a frame.
void paintHourglass(QPainter& painter, const QRectF& r, const QColor& color) {
  QPainterPath path;
  const double w = r.width() * 0.7, left = r.center().x() - w / 2, right = left + w;
  path.moveTo(left, r.top());
  path.lineTo(right, r.top());
  path.lineTo(r.center().x() + w * 0.08, r.center().y());
  path.lineTo(right, r.bottom());
  path.lineTo(left, r.bottom());
  path.lineTo(r.center().x() - w * 0.08, r.center().y());
  path.closeSubpath();
  painter.save();
  painter.setPen(QPen(color, 1.2));
  painter.setBrush(withAlpha(color, 0.35));
  painter.drawPath(path);
  painter.restore();
}

// An exclamation mark in a filled circle of the colour.
void paintFailed(QPainter& painter, const QRectF& r, const QColor& color) {
  painter.save();
  painter.setPen(Qt::NoPen);
  painter.setBrush(color);
  painter.drawEllipse(r);
  painter.setBrush(Qt::white);
  const double w = r.width() * 0.16;
  painter.drawRoundedRect(QRectF(r.center().x() - w / 2, r.top() + r.height() * 0.2, w, r.height() * 0.42), w / 2,
                          w / 2);
  painter.drawEllipse(QPointF(r.center().x(), r.top() + r.height() * 0.77), w * 0.6, w * 0.6);
  painter.restore();
}

// A five-pointed star filled with the colour.
void paintStar(QPainter& painter, const QRectF& r, const QColor& color) {
  QPainterPath path;
  const QPointF c = r.center();
  const double outer = std::min(r.width(), r.height()) / 2, inner = outer * 0.45;
  for (int i = 0; i < 10; ++i) {
    const double angle = -M_PI / 2 + i * M_PI / 5;
    const double radius = i % 2 == 0 ? outer : inner;
    const QPointF p(c.x() + radius * std::cos(angle), c.y() + radius * std::sin(angle));
    if (i == 0) path.moveTo(p); else path.lineTo(p);
  }
  path.closeSubpath();
  painter.save();
  painter.setPen(QPen(color.darker(130), 0.8));
  painter.setBrush(color);
  painter.drawPath(path);
  painter.restore();
}

}  // namespace

ScanCardDelegate::ScanCardDelegate(QObject* parent) : QStyledItemDelegate(parent) {
  connect(&ThumbnailCache::shared(), &ThumbnailCache::loaded, this, [this](const QString&, bool ok) {
    if (ok) emit thumbnailArrived();
  });
}

QSize ScanCardDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  // The whole cell of a grid, so that the card fills its column.
  if (auto* view = qobject_cast<const QListView*>(option.widget); view && view->gridSize().isValid()) {
    return view->gridSize();
  }
  return QSize(172 + 2 * kInset, ScanCard::cardHeight(option.font) + 2 * kInset);
}

QRect ScanCardDelegate::badgeRect(const QRect& card, const ArchiveItem& item) const {
  const std::size_t count = ScanCard::badges(item).size();
  if (count == 0) return {};
  const int icon = 12, pad = 5, spacing = 4;
  const int width = static_cast<int>(count) * icon + static_cast<int>(count - 1) * spacing + 2 * pad;
  const int height = icon + 2 * pad;
  return QRect(card.right() - 6 - width + 1, card.top() + 6, width, height);
}

// A picture as wide as the card is kept inside the card's rounded top corners.
static void clipToCorners(QPainter& painter, const QRect& picture, const QRectF& where) {
  if (where.width() < picture.width() - 1 || where.top() > picture.top() + 1) return;
  QPainterPath shape;
  shape.addRoundedRect(QRectF(picture.adjusted(0, 0, 0, 10)), 10, 10);
  painter.setClipPath(shape, Qt::IntersectClip);
}

// The placeholder's photo icon, rendered once (faded) and then only copied.
static void paintPlaceholderIcon(QPainter& painter, const QRect& picture) {
  static const QPixmap icon = [] {
    const QPixmap drawn = QIcon::fromTheme("image-x-generic-symbolic").pixmap(28, 28);
    QPixmap faded(drawn.size());
    faded.setDevicePixelRatio(drawn.devicePixelRatio());
    faded.fill(Qt::transparent);
    QPainter fade(&faded);
    fade.setOpacity(0.35);
    fade.drawPixmap(0, 0, drawn);
    return faded;
  }();
  QRectF where(QPointF(0, 0), icon.deviceIndependentSize());
  where.moveCenter(QRectF(picture).center());
  painter.drawPixmap(where.topLeft(), icon);
}

void ScanCardDelegate::paintPicture(QPainter& painter, const QRect& picture, const ArchiveItem& item) const {
  if (!item.thumbnailPath) {
    paintPlaceholderIcon(painter, picture);
    return;
  }
  const QString path = QString::fromStdString(*item.thumbnailPath);
  const std::optional<QImage> image = ThumbnailCache::shared().cached(path);
  if (!image) {
    ThumbnailCache::shared().request(path);
    paintPlaceholderIcon(painter, picture);
    return;
  }
  const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
  const QSize target = picture.size() * ratio;
  QSizeF shown;
  if (image->width() <= target.width() && image->height() <= target.height()) {
    // Decoded to fit the card already: drawn as it is, without scaling.
    shown = QSizeF(image->size()) / ratio;
    QRectF where(QPointF(0, 0), shown);
    where.moveCenter(QRectF(picture).center());
    clipToCorners(painter, picture, where);
    painter.drawImage(where, *image);
    return;
  }
  const QString key = path + QLatin1Char('@') + QString::number(target.width()) + QLatin1Char('x') +
                      QString::number(target.height());
  const QPixmap* pixmap = scaled_.object(key);
  if (!pixmap) {
    QPixmap made = QPixmap::fromImage(image->scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    made.setDevicePixelRatio(ratio);
    auto* stored = new QPixmap(std::move(made));
    pixmap = stored;
    scaled_.insert(key, stored);
  }
  QRectF where(QPointF(0, 0), pixmap->deviceIndependentSize());
  where.moveCenter(QRectF(picture).center());
  clipToCorners(painter, picture, where);
  painter.drawPixmap(where.topLeft(), *pixmap);
}

void ScanCardDelegate::paintBadges(QPainter& painter, const QRect& card, const ArchiveItem& item) const {
  const std::vector<ScanCard::Badge> list = ScanCard::badges(item);
  if (list.empty()) return;  // no empty capsule
  const QRect capsule = badgeRect(card, item);
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  QColor material = QApplication::palette().color(QPalette::Base);
  painter.setBrush(withAlpha(material, 0.85));
  painter.drawRoundedRect(QRectF(capsule), capsule.height() / 2.0, capsule.height() / 2.0);
  QRectF icon(capsule.left() + 5, capsule.top() + 5, 12, 12);
  for (ScanCard::Badge badge : list) {
    if (badge == ScanCard::Badge::waiting) {
      paintHourglass(painter, icon.adjusted(1, 0, -1, 0), QApplication::palette().color(QPalette::WindowText));
    } else if (badge == ScanCard::Badge::failed) {
      paintFailed(painter, icon, Palette::airRed());
    } else {
      paintStar(painter, icon, QColor(255, 204, 0));
    }
    icon.translate(16, 0);
  }
  painter.restore();
}

void ScanCardDelegate::paintSubtitle(QPainter& painter, const QRect& rect, const QString& subtitle,
                                     const QFont& font, const QColor& plain, const QColor& strong) const {
  const QFontMetricsF metrics(font);
  if (!subtitle.contains(QLatin1Char('['))) {
    // No hits: plain text on up to two lines, the last elided.
    painter.save();
    painter.setFont(font);
    painter.setPen(plain);
    const int lineHeight = static_cast<int>(std::ceil(metrics.height()));
    if (metrics.horizontalAdvance(subtitle) <= rect.width()) {
      painter.drawText(QRect(rect.left(), rect.top(), rect.width(), lineHeight), Qt::AlignLeft | Qt::AlignVCenter,
                       subtitle);
    } else {
      painter.drawText(QRect(rect.left(), rect.top(), rect.width(), 2 * lineHeight),
                       Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                       QFontMetrics(font).elidedText(subtitle, Qt::ElideRight, 2 * rect.width() - 20));
    }
    painter.restore();
    return;
  }
  const std::vector<ScanCard::Run> runs = ScanCard::highlighted(subtitle);
  QString text;
  QList<QTextLayout::FormatRange> formats;
  QFont bold = font;
  bold.setBold(true);
  for (const ScanCard::Run& run : runs) {
    if (run.hit) {
      QTextLayout::FormatRange range;
      range.start = static_cast<int>(text.size());
      range.length = static_cast<int>(run.text.size());
      range.format.setFont(bold);
      range.format.setForeground(strong);
      formats.append(range);
    }
    text += run.text;
  }
  const double lineHeight = metrics.height();
  auto layoutLine = [&](const QString& piece, const QList<QTextLayout::FormatRange>& pieceFormats, double y,
                        bool last, int* consumed) {
    QTextLayout layout(piece, font);
    layout.setFormats(pieceFormats);
    QTextOption textOption;
    textOption.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(textOption);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    if (!line.isValid()) {
      layout.endLayout();
      *consumed = static_cast<int>(piece.size());
      return;
    }
    line.setLineWidth(rect.width());
    line.setPosition(QPointF(0, 0));
    *consumed = line.textStart() + line.textLength();
    layout.endLayout();
    if (last && *consumed < piece.size()) {
      // Elide the last line: cut it so that the ellipsis fits, then draw that.
      const double room = rect.width() - metrics.horizontalAdvance(QStringLiteral("…")) - 4;
      QTextLayout cut(piece, font);
      cut.setFormats(pieceFormats);
      cut.beginLayout();
      QTextLine cutLine = cut.createLine();
      cutLine.setLineWidth(std::max(1.0, room));
      cut.endLayout();
      const int keep = cutLine.textStart() + cutLine.textLength();
      QString shortened = piece.left(keep).trimmed() + QStringLiteral("…");
      QList<QTextLayout::FormatRange> kept;
      for (const auto& range : pieceFormats) {
        if (range.start >= keep) continue;
        QTextLayout::FormatRange r = range;
        r.length = std::min(r.length, keep - r.start);
        kept.append(r);
      }
      QTextLayout finalLayout(shortened, font);
      finalLayout.setFormats(kept);
      finalLayout.beginLayout();
      QTextLine finalLine = finalLayout.createLine();
      finalLine.setLineWidth(rect.width() + 100);
      finalLine.setPosition(QPointF(0, 0));
      finalLayout.endLayout();
      finalLayout.draw(&painter, QPointF(rect.left(), y));
      return;
    }
    layout.draw(&painter, QPointF(rect.left(), y));
  };
  painter.save();
  painter.setPen(plain);
  int consumed = 0;
  layoutLine(text, formats, rect.top(), false, &consumed);
  if (consumed < text.size()) {
    // The second line: the rest, its hits shifted to the rest's own positions.
    const QString rest = text.mid(consumed);
    QList<QTextLayout::FormatRange> restFormats;
    for (const auto& range : formats) {
      const int end = range.start + range.length;
      if (end <= consumed) continue;
      QTextLayout::FormatRange r = range;
      r.start = std::max(0, range.start - consumed);
      r.length = end - consumed - r.start;
      restFormats.append(r);
    }
    int restConsumed = 0;
    layoutLine(rest, restFormats, rect.top() + lineHeight, true, &restConsumed);
  }
  painter.restore();
}

void ScanCardDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  const ArchiveItem* item = itemOf(index);
  if (!item) return;
  const QString subtitle = index.data(Qt::DisplayRole).toString();
  const bool hovering = option.state & QStyle::State_MouseOver;
  const QRect card = cardRect(option.rect);
  const QPalette& palette = option.palette;
  const QColor text = palette.color(QPalette::WindowText);
  const double radius = 10;

  painter->save();
  // The card's frame is the same for every card of one size: the shadow,
  // background and picture area under the content, the border over it; both
  // are drawn once per size and hover state and then only copied.
  const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
  const QRect cell(QPoint(0, 0), option.rect.size());
  const QRect local = cardRect(cell);
  const QString key = QStringLiteral("%1x%2@%3/%4").arg(cell.width()).arg(cell.height()).arg(ratio).arg(hovering);
  auto frame = [&](bool over) -> const QPixmap& {
    const QString full = key + (over ? QStringLiteral("o") : QStringLiteral("u"));
    if (const QPixmap* made = frames_.object(full)) return *made;
    auto* pixmap = new QPixmap(cell.size() * ratio);
    pixmap->setDevicePixelRatio(ratio);
    pixmap->fill(Qt::transparent);
    QPainter draw(pixmap);
    draw.setRenderHint(QPainter::Antialiasing);
    if (!over) {
      // Shadow, offset one point down: a few widening rings fading out.
      const int blur = hovering ? 8 : 2;
      const double strength = hovering ? 0.12 : 0.04;
      draw.setPen(Qt::NoPen);
      for (int ring = blur; ring >= 1; --ring) {
        QColor shade(0, 0, 0);
        shade.setAlphaF(static_cast<float>(strength * 2.0 / (blur + 1)));
        const QRectF r = QRectF(local).adjusted(-ring / 2.0, -ring / 2.0 + 1, ring / 2.0, ring / 2.0 + 1);
        draw.setBrush(shade);
        draw.drawRoundedRect(r, radius + ring / 2.0, radius + ring / 2.0);
      }
      draw.setBrush(palette.color(QPalette::Base));
      draw.drawRoundedRect(QRectF(local), radius, radius);
      // The picture area: rounded at the top like the card, square at the bottom.
      const QRect area(local.left(), local.top(), local.width(), ScanCard::kPictureHeight);
      QPainterPath shape;
      shape.addRoundedRect(QRectF(local), radius, radius);
      QPainterPath band;
      band.addRect(QRectF(area));
      draw.setBrush(withAlpha(text, 0.06));
      draw.drawPath(shape.intersected(band));
    } else {
      const double line = hovering ? 2.0 : 1.0;
      const QColor border = hovering ? withAlpha(Palette::airBlue(), 0.7) : withAlpha(text, 0.08);
      draw.setPen(QPen(border, line));
      draw.setBrush(Qt::NoBrush);
      draw.drawRoundedRect(QRectF(local).adjusted(line / 2, line / 2, -line / 2, -line / 2), radius - line / 2,
                           radius - line / 2);
    }
    draw.end();
    frames_.insert(full, pixmap);
    return *pixmap;
  };
  painter->drawPixmap(option.rect.topLeft(), frame(false));
  const QRect picture(card.left(), card.top(), card.width(), ScanCard::kPictureHeight);
  {
    painter->save();
    painter->setClipRect(picture);
    paintPicture(*painter, picture, *item);
    painter->restore();
  }

  // Text area: title on one line, subtitle on up to two.
  const QRect textArea = QRect(card.left(), picture.bottom() + 1, card.width(), card.bottom() - picture.bottom())
                             .adjusted(10, 10, -10, -10);
  const QFont title = ScanCard::titleFont(option.font);
  const QFontMetrics titleMetrics(title);
  painter->setFont(title);
  painter->setPen(text);
  painter->drawText(QRect(textArea.left(), textArea.top(), textArea.width(), titleMetrics.height()),
                    Qt::AlignLeft | Qt::AlignVCenter,
                    titleMetrics.elidedText(QString::fromStdString(item->displayTitle()), Qt::ElideRight,
                                            textArea.width()));
  const QFont caption = ScanCard::captionFont(option.font);
  const QRect subtitleRect(textArea.left(), textArea.top() + titleMetrics.height() + 2, textArea.width(),
                           textArea.height() - titleMetrics.height() - 2);
  paintSubtitle(*painter, subtitleRect, subtitle, caption, palette.color(QPalette::PlaceholderText), text);

  painter->drawPixmap(option.rect.topLeft(), frame(true));
  painter->setRenderHint(QPainter::Antialiasing);
  paintBadges(*painter, card, *item);
  painter->restore();
}

bool ScanCardDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) {
  const ArchiveItem* item = itemOf(index);
  if (event && item && event->type() == QEvent::ToolTip) {
    const QRect card = cardRect(option.rect);
    const std::vector<ScanCard::Badge> list = ScanCard::badges(*item);
    const QString help = list.empty() ? QString() : ScanCard::badgeHelp(list.front());
    if (!help.isEmpty()) {
      const QRect capsule = badgeRect(card, *item);
      const QRect first(capsule.left(), capsule.top(), 5 + 12 + 2, capsule.height());
      if (first.contains(event->pos())) {
        QToolTip::showText(event->globalPos(), help, view);
        return true;
      }
    }
    QToolTip::hideText();
    event->ignore();
    return true;
  }
  return QStyledItemDelegate::helpEvent(event, view, option, index);
}

}  // namespace quorvel::app
