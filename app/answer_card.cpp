#include "app/answer_card.h"

#include <QEnterEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QVBoxLayout>

#include "app/components.h"
#include "app/panel_style.h"
#include "core/catalog.h"
#include "core/date_extractor.h"

namespace quorvel::app {

using PanelStyle::Text;

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

// A small turning arc: the indeterminate spinner of a question being answered.
class Spinner : public QWidget {
 public:
  explicit Spinner(QWidget* parent = nullptr) : QWidget(parent) {
    setFixedSize(14, 14);
    setObjectName("askSpinner");
    timer_.setInterval(80);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
      angle_ = (angle_ + 30) % 360;
      update();
    });
  }

 protected:
  void showEvent(QShowEvent*) override { timer_.start(); }
  void hideEvent(QHideEvent*) override { timer_.stop(); }
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(PanelStyle::secondary(), 2);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.drawArc(QRectF(2, 2, width() - 4, height() - 4), -angle_ * 16, 270 * 16);
  }

 private:
  QTimer timer_;
  int angle_ = 0;
};

// A theme icon at the size, or the fallback text when the theme has none.
QLabel* symbol(const char* iconName, const QString& fallback, int size, const QColor& color,
               QWidget* parent) {
  auto* label = new QLabel(parent);
  const QIcon icon = QIcon::fromTheme(iconName);
  if (!icon.isNull()) {
    label->setPixmap(icon.pixmap(size, size));
  } else {
    label->setText(fallback);
    label->setFont(PanelStyle::font(Text::caption2));
    PanelStyle::setTextColor(label, color);
  }
  return label;
}

}  // namespace

// ---- SourceRow ----

std::string SourceRow::numberText(int number) { return "[" + std::to_string(number) + "]"; }

std::optional<std::string> SourceRow::dateText(const std::optional<std::string>& date) {
  if (!date) return std::nullopt;
  return "· " + DateExtractor::pretty(*date);
}

std::string SourceRow::quoteText(const std::string& quote) { return "\u201C" + quote + "\u201D"; }

SourceRow::SourceRow(AppModel& model, AskSource source, QWidget* parent)
    : QAbstractButton(parent), model_(model), source_(std::move(source)) {
  setObjectName("sourceRow");
  setToolTip("Open this scan");
  setCursor(Qt::PointingHandCursor);
  setAttribute(Qt::WA_Hover);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(6, 6, 6, 6);
  row->setSpacing(10);
  row->setAlignment(Qt::AlignTop);

  std::optional<QString> thumbnail;
  if (std::optional<ArchiveItem> item = model_.catalog().getItem(source_.itemId);
      item && item->thumbnailPath) {
    thumbnail = qs(*item->thumbnailPath);
  }
  auto* thumb = new ThumbnailView(thumbnail, this);
  thumb->setObjectName("sourceThumbnail");
  thumb->setFixedSize(36, 46);
  row->addWidget(thumb, 0, Qt::AlignTop);

  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  auto* top = new QHBoxLayout;
  top->setSpacing(4);
  QFont digits = PanelStyle::font(Text::caption);
  digits.setStyleHint(QFont::Monospace);
  digits.setFamilies({"monospace"});
  auto* number = new QLabel(qs(numberText(source_.number)), this);
  number->setObjectName("sourceNumber");
  number->setFont(digits);
  PanelStyle::setTextColor(number, PanelStyle::secondary());
  top->addWidget(number);
  auto* title = new PanelStyle::ClampedText(qs(source_.title), 1, Qt::ElideRight, this);
  title->setObjectName("sourceTitle");
  title->setFont(PanelStyle::font(Text::caption, QFont::DemiBold));
  top->addWidget(title);
  if (std::optional<std::string> date = dateText(source_.date)) {
    auto* dateLabel = new PanelStyle::ClampedText(qs(*date), 1, Qt::ElideRight, this);
    dateLabel->setObjectName("sourceDate");
    dateLabel->setFont(PanelStyle::font(Text::caption));
    dateLabel->setColor(PanelStyle::secondary());
    top->addWidget(dateLabel);
  }
  top->addStretch(1);
  texts->addLayout(top);
  auto* quote = new PanelStyle::ClampedText(qs(quoteText(source_.quote)), 3, Qt::ElideRight, this);
  quote->setObjectName("sourceQuote");
  quote->setFont(PanelStyle::font(Text::caption, QFont::Normal, true));
  quote->setColor(PanelStyle::secondary());
  texts->addWidget(quote);
  row->addLayout(texts, 1);

  QLabel* chevron = symbol("go-next", QStringLiteral("\u203A"), 10, PanelStyle::tertiary(), this);
  chevron->setContentsMargins(0, 4, 0, 0);
  row->addWidget(chevron, 0, Qt::AlignTop);

  // The whole row takes the clicks, not its parts.
  for (QWidget* child : findChildren<QWidget*>()) {
    child->setAttribute(Qt::WA_TransparentForMouseEvents);
  }
  connect(this, &QAbstractButton::clicked, this, [this] { model_.openSource(source_); });
}

void SourceRow::paintEvent(QPaintEvent*) {
  if (!hovering_) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QColor tint = palette().color(QPalette::WindowText);
  tint.setAlphaF(0.05f);
  QPainterPath shape;
  shape.addRoundedRect(QRectF(rect()), 6, 6);
  painter.fillPath(shape, tint);
}

void SourceRow::enterEvent(QEnterEvent* event) {
  hovering_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void SourceRow::leaveEvent(QEvent* event) {
  hovering_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

// ---- AnswerCard ----

AnswerCard::Shows AnswerCard::shows(const AskEntry& entry) {
  if (entry.answer) return Shows::answer;
  if (entry.error) return Shows::error;
  return Shows::progress;
}

std::string AnswerCard::progressText(const AskEntry& entry) {
  return entry.status ? *entry.status : std::string("Reading your letters…");
}

std::string AnswerCard::unsupportedText(const std::vector<std::string>& unsupported) {
  if (unsupported.empty()) return {};
  std::string joined;
  for (const std::string& text : unsupported) {
    if (!joined.empty()) joined += ", ";
    joined += text;
  }
  return "Check this: " + joined + " isn't in the letters this answer came from.";
}

std::string AnswerCard::notFoundAdvice() {
  return "Try different words, like a name, a place or a year. Search at the top of the window "
         "finds every mention.";
}

AnswerCard::AnswerCard(AppModel& model, AskEntry entry, QWidget* parent)
    : QFrame(parent), model_(model), entry_(std::move(entry)) {
  setObjectName("answerCard");
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  layout_ = new QVBoxLayout(this);
  layout_->setContentsMargins(12, 12, 12, 12);
  layout_->setSpacing(8);
  build();
}

void AnswerCard::setEntry(const AskEntry& entry) {
  if (entry == entry_) return;
  entry_ = entry;
  build();
}

void AnswerCard::build() {
  while (QLayoutItem* item = layout_->takeAt(0)) {
    if (QWidget* widget = item->widget()) {
      widget->hide();
      widget->setParent(nullptr);
      widget->deleteLater();
    }
    if (QLayout* inner = item->layout()) {
      while (QLayoutItem* innerItem = inner->takeAt(0)) {
        if (QWidget* widget = innerItem->widget()) {
          widget->hide();
          widget->setParent(nullptr);
          widget->deleteLater();
        }
        delete innerItem;
      }
    }
    delete item;
  }

  QLabel* question = PanelStyle::label(qs(entry_.question), Text::callout, this, QFont::DemiBold);
  question->setObjectName("cardQuestion");
  layout_->addWidget(question);

  switch (shows(entry_)) {
    case Shows::answer: {
      const AskAnswer& answer = *entry_.answer;
      QLabel* text = PanelStyle::label(qs(answer.text), Text::body, this);
      text->setObjectName("cardAnswer");
      text->setTextInteractionFlags(Qt::TextSelectableByMouse);
      PanelStyle::setTextColor(text, answer.found ? palette().color(QPalette::WindowText)
                                                  : PanelStyle::secondary());
      layout_->addWidget(text);
      if (!answer.found) {
        QLabel* advice = PanelStyle::caption(qs(notFoundAdvice()), this);
        advice->setObjectName("cardAdvice");
        layout_->addWidget(advice);
      }
      if (!answer.unsupported.empty()) {
        auto* warning = new QHBoxLayout;
        warning->setSpacing(6);
        QLabel* icon = symbol("dialog-warning", QStringLiteral("\u26A0"), 14, Palette::airRed(), this);
        icon->setObjectName("cardWarningIcon");
        warning->addWidget(icon, 0, Qt::AlignTop);
        QLabel* label = PanelStyle::label(qs(unsupportedText(answer.unsupported)), Text::caption, this);
        label->setObjectName("cardUnsupported");
        PanelStyle::setTextColor(label, Palette::airRed());
        warning->addWidget(label, 1);
        layout_->addLayout(warning);
      }
      for (const AskSource& source : answer.sources) {
        layout_->addWidget(new SourceRow(model_, source, this));
      }
      break;
    }
    case Shows::error: {
      QLabel* error = PanelStyle::label(qs(*entry_.error), Text::callout, this);
      error->setObjectName("cardError");
      error->setTextInteractionFlags(Qt::TextSelectableByMouse);
      PanelStyle::setTextColor(error, PanelStyle::red());
      layout_->addWidget(error);
      break;
    }
    case Shows::progress: {
      auto* line = new QHBoxLayout;
      line->setSpacing(8);
      line->addWidget(new Spinner(this), 0, Qt::AlignVCenter);
      QLabel* status = PanelStyle::caption(qs(progressText(entry_)), this);
      status->setObjectName("cardStatus");
      line->addWidget(status, 1);
      layout_->addLayout(line);
      break;
    }
  }
}

void AnswerCard::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath shape;
  shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
  painter.fillPath(shape, palette().color(QPalette::Base));
  QColor border = palette().color(QPalette::WindowText);
  border.setAlphaF(0.08f);
  painter.setPen(QPen(border, 1));
  painter.drawPath(shape);
}

}  // namespace quorvel::app
