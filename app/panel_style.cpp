#include "app/panel_style.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QPalette>
#include <QTextLayout>

namespace quorvel::app::PanelStyle {

QFont font(Text text, QFont::Weight weight, bool italic) {
  QFont f = QApplication::font();
  double factor = 1.0;
  switch (text) {
    case Text::title2: factor = 1.35; break;
    case Text::title3: factor = 1.2; break;
    case Text::headline: factor = 1.1; break;
    case Text::body: factor = 1.0; break;
    case Text::callout: factor = 0.95; break;
    case Text::caption: factor = 0.85; break;
    case Text::caption2: factor = 0.8; break;
  }
  if (f.pointSizeF() > 0) {
    f.setPointSizeF(f.pointSizeF() * factor);
  } else if (f.pixelSize() > 0) {
    f.setPixelSize(std::max(1, static_cast<int>(f.pixelSize() * factor + 0.5)));
  }
  if (text == Text::headline && weight == QFont::Normal) weight = QFont::DemiBold;
  f.setWeight(weight);
  f.setItalic(italic);
  return f;
}

static QColor faded(double opacity) {
  QColor c = QApplication::palette().color(QPalette::WindowText);
  c.setAlphaF(static_cast<float>(opacity));
  return c;
}

QColor secondary() { return faded(0.6); }
QColor tertiary() { return faded(0.35); }
QColor red() { return QColor(0xd7, 0x26, 0x1e); }

void setTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::Text, color);
  widget->setPalette(palette);
}

QLabel* label(const QString& text, Text style, QWidget* parent, QFont::Weight weight) {
  auto* l = new QLabel(text, parent);
  l->setTextFormat(Qt::PlainText);
  l->setWordWrap(true);
  l->setFont(font(style, weight));
  return l;
}

QLabel* caption(const QString& text, QWidget* parent) {
  QLabel* l = label(text, Text::caption, parent);
  setTextColor(l, secondary());
  return l;
}

QFrame* divider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Plain);
  line->setFixedHeight(1);
  QPalette palette = line->palette();
  palette.setColor(QPalette::WindowText, faded(0.15));
  line->setPalette(palette);
  return line;
}

// ---- ClampedText ----

ClampedText::ClampedText(const QString& text, int maxLines, Qt::TextElideMode elide, QWidget* parent)
    : QWidget(parent), text_(text), maxLines_(std::max(1, maxLines)), elide_(elide) {
  QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
  color_ = palette().color(QPalette::WindowText);
}

void ClampedText::setText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  updateGeometry();
  update();
}

void ClampedText::setAlignment(Qt::Alignment alignment) {
  alignment_ = alignment & Qt::AlignHorizontal_Mask;
  update();
}

void ClampedText::setColor(const QColor& color) {
  color_ = color;
  update();
}

QStringList ClampedText::linesAt(int width) const {
  QStringList lines;
  if (text_.isEmpty() || width < 1) return lines;
  const QFontMetrics metrics(font());
  if (maxLines_ == 1) {
    QString single = text_;
    single.replace('\n', ' ');
    lines << metrics.elidedText(single, elide_, width);
    return lines;
  }
  // The same length as the text: a line's start and length hold for both.
  QString laid = text_;
  laid.replace('\n', QChar::LineSeparator);
  QTextLayout layout(laid, font());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  while (true) {
    QTextLine line = layout.createLine();
    if (!line.isValid()) break;
    line.setLineWidth(width);
    if (lines.size() == maxLines_ - 1) {
      // The last line allowed: the rest of the text, elided when it does not fit.
      QString rest = text_.mid(line.textStart());
      rest.replace('\n', ' ');
      lines << metrics.elidedText(rest, Qt::ElideRight, width);
      break;
    }
    lines << laid.mid(line.textStart(), line.textLength()).trimmed();
  }
  layout.endLayout();
  return lines;
}

int ClampedText::heightForWidth(int width) const {
  const int count = std::max<qsizetype>(1, linesAt(width).size());
  return count * QFontMetrics(font()).lineSpacing();
}

QSize ClampedText::sizeHint() const {
  const QFontMetrics metrics(font());
  const int natural = std::min(metrics.horizontalAdvance(text_) + 2, 400);
  return QSize(natural, heightForWidth(natural));
}

QSize ClampedText::minimumSizeHint() const {
  return QSize(0, QFontMetrics(font()).lineSpacing());
}

void ClampedText::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font());
  painter.setPen(color_);
  const QFontMetrics metrics(font());
  int y = 0;
  for (const QString& line : linesAt(width())) {
    painter.drawText(QRect(0, y, width(), metrics.lineSpacing()), alignment_ | Qt::AlignVCenter, line);
    y += metrics.lineSpacing();
  }
}

}  // namespace quorvel::app::PanelStyle
