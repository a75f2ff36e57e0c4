#pragma once
// Small text styles shared by the item page and its translation section:
// caption size, the secondary text colour, red failure text, and a themed
// icon with a text in its place when the theme has none.
#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QWidget>

#include "app/panel_style.h"

namespace quorvel::app::detail_style {

// The font at `factor` times the application font's size.
inline void scaleFont(QWidget* widget, double factor, QFont::Weight weight = QFont::Normal) {
  QFont font = widget->font();
  font.setPointSizeF(font.pointSizeF() * factor);
  font.setWeight(weight);
  widget->setFont(font);
}

inline void caption(QWidget* widget) { scaleFont(widget, 0.85); }

inline void secondary(QWidget* widget) { PanelStyle::setTextColor(widget, PanelStyle::secondary()); }

// The red of every panel's failure texts.
inline void red(QWidget* widget) { PanelStyle::setTextColor(widget, PanelStyle::red()); }

// The theme's icon of that name, else its symbolic variant (themes such as
// Adwaita have only those); a null icon when the theme has neither.
inline QIcon themed(const char* name) {
  QIcon found = QIcon::fromTheme(name);
  if (found.isNull()) found = QIcon::fromTheme(QString::fromLatin1(name) + "-symbolic");
  return found;
}

inline void icon(QAbstractButton* button, const char* name, const QString& fallback) {
  const QIcon themed = detail_style::themed(name);
  if (themed.isNull()) {
    button->setText(fallback);
  } else {
    button->setIcon(themed);
  }
}

}  // namespace quorvel::app::detail_style
