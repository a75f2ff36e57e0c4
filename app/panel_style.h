#pragma once
// Small text and colour helpers shared by the question panel, the keepsake
// sheet and the settings window: font sizes relative to the application
// font, the secondary and red text colours, caption notes, dividers, and a
// text that keeps to a number of lines, cut with an ellipsis.
// GUI thread only.
#include <QColor>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QString>
#include <QWidget>

namespace quorvel::app::PanelStyle {

// Relative font sizes of the application font.
enum class Text { title2, title3, headline, body, callout, caption, caption2 };
QFont font(Text text, QFont::Weight weight = QFont::Normal, bool italic = false);

// The secondary text colour: the window text at 60 % opacity.
QColor secondary();
// The tertiary text colour: the window text at 35 % opacity.
QColor tertiary();
// The standard red of failure texts.
QColor red();

// Sets the label's text colour.
void setTextColor(QWidget* widget, const QColor& color);
// A label of the text in the style: word-wrapped, plain text.
QLabel* label(const QString& text, Text style, QWidget* parent = nullptr,
              QFont::Weight weight = QFont::Normal);
// A caption note: caption size, secondary colour, word-wrapped.
QLabel* caption(const QString& text, QWidget* parent = nullptr);
// A thin horizontal line.
QFrame* divider(QWidget* parent = nullptr);

// A text shown on at most maxLines lines at the widget's width; a longer text
// is cut at the last line with an ellipsis (at its end, or in the middle for
// a single line with Qt::ElideMiddle). On several lines a line feed starts a
// new line and a word longer than the width is broken. Its height follows
// its width.
class ClampedText : public QWidget {
 public:
  ClampedText(const QString& text, int maxLines, Qt::TextElideMode elide = Qt::ElideRight,
              QWidget* parent = nullptr);
  void setText(const QString& text);
  const QString& text() const { return text_; }
  // Where each line sits across the width: left (the default), centred or right.
  void setAlignment(Qt::Alignment alignment);
  // The lines as drawn at this width (the last one elided when cut).
  QStringList linesAt(int width) const;
  void setColor(const QColor& color);
  const QColor& color() const { return color_; }

  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString text_;
  int maxLines_;
  Qt::TextElideMode elide_;
  QColor color_;
  Qt::Alignment alignment_ = Qt::AlignLeft;
};

}  // namespace quorvel::app::PanelStyle
