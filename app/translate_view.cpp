#include "app/translate_view.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/app_model.h"
#include "app/components.h"
#include "app/detail_view_style.h"
#include "app/panel_style.h"

namespace quorvel::app {

using Palette::withAlpha;

namespace {

// The progress of this item's translation (a spinner and its text), or its
// failure in red, or nothing.
class TranslationStatus : public QWidget {
 public:
  explicit TranslationStatus(QWidget* parent) : QWidget(parent) {
    setObjectName("translationStatus");
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    spinner_ = new QProgressBar(this);
    spinner_->setRange(0, 0);
    spinner_->setTextVisible(false);
    spinner_->setMaximumSize(60, 12);
    // On two lines where the column is narrow.
    progress_ = new PanelStyle::ClampedText(QString(), 2, Qt::ElideRight, this);
    progress_->setObjectName("translationProgress");
    detail_style::caption(progress_);
    progress_->setColor(PanelStyle::secondary());
    error_ = new QLabel(this);
    error_->setObjectName("translationError");
    error_->setWordWrap(true);
    detail_style::caption(error_);
    detail_style::red(error_);
    layout->addWidget(spinner_);
    layout->addWidget(progress_);
    layout->addWidget(error_, 1);
  }

  void showFor(const AppModel& model, std::int64_t itemId) {
    const auto running = model.translating().find(itemId);
    const auto failed = model.translateErrors().find(itemId);
    const bool working = running != model.translating().end();
    const bool failure = !working && failed != model.translateErrors().end();
    spinner_->setVisible(working);
    progress_->setVisible(working);
    error_->setVisible(failure);
    if (working) progress_->setText(QString::fromStdString(running->second));
    if (failure) error_->setText(QString::fromStdString(failed->second));
    setVisible(working || failure);
  }

 private:
  QProgressBar* spinner_;
  PanelStyle::ClampedText* progress_;
  QLabel* error_;
};

}  // namespace

const char* TranslationSection::kNeedsReaderNotice =
    "Translating uses the reader that runs on this computer. It's downloading now; try again when "
    "it's ready.";

TranslationSection::Shape TranslationSection::shapeFor(bool hasTranslation, bool detectedLanguage) {
  if (hasTranslation) return Shape::stored;
  if (detectedLanguage) return Shape::offer;
  return Shape::none;
}

std::string TranslationSection::translatedFrom(const std::string& languageName) {
  return "Translated from " + languageName + " on this computer";
}

std::string TranslationSection::looksLike(const std::string& languageName) {
  return "This looks like " + languageName + ".";
}

TranslationSection::TranslationSection(AppModel& model, std::int64_t itemId, QWidget* parent)
    : QWidget(parent), model_(model), itemId_(itemId) {
  setObjectName("translationSection");
  refreshTimer_.setSingleShot(true);
  refreshTimer_.setInterval(kRefreshDelayMs);
  connect(&refreshTimer_, &QTimer::timeout, this, [this] { refresh(); });

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);

  // Shape A: the stored translation.
  storedBox_ = new QWidget(this);
  storedBox_->setObjectName("storedTranslation");
  auto* stored = new QVBoxLayout(storedBox_);
  stored->setContentsMargins(0, 0, 0, 0);
  stored->setSpacing(6);
  auto* heading = new QHBoxLayout();
  heading->addWidget(new SectionLabel("In English", storedBox_), 0, Qt::AlignTop);
  fromLabel_ = new QLabel(storedBox_);
  fromLabel_->setObjectName("translatedFrom");
  fromLabel_->setWordWrap(true);
  fromLabel_->setAlignment(Qt::AlignRight | Qt::AlignTop);
  detail_style::caption(fromLabel_);
  detail_style::secondary(fromLabel_);
  heading->addWidget(fromLabel_, 1);
  stored->addLayout(heading);
  auto* textBox = new RoundedBox(withAlpha(Palette::flag(), 0.18), std::nullopt, storedBox_);
  auto* textLayout = new QVBoxLayout(textBox);
  textLayout->setContentsMargins(10, 10, 10, 10);
  translationText_ = new QLabel(textBox);
  translationText_->setObjectName("translationText");
  translationText_->setTextFormat(Qt::PlainText);
  translationText_->setWordWrap(true);
  translationText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  textLayout->addWidget(translationText_);
  stored->addWidget(textBox);
  staleRow_ = new QWidget(storedBox_);
  staleRow_->setObjectName("staleWarning");
  auto* staleLayout = new QHBoxLayout(staleRow_);
  staleLayout->setContentsMargins(0, 0, 0, 0);
  staleLayout->setSpacing(4);
  auto* staleIcon = new QLabel(staleRow_);
  const QIcon refreshIcon = detail_style::themed("view-refresh");
  if (!refreshIcon.isNull()) staleIcon->setPixmap(refreshIcon.pixmap(12, 12));
  auto* staleText = new QLabel("You've changed the original since this was translated.", staleRow_);
  staleText->setWordWrap(true);
  detail_style::caption(staleText);
  detail_style::secondary(staleText);
  staleLayout->addWidget(staleIcon);
  staleLayout->addWidget(staleText, 1);
  stored->addWidget(staleRow_);
  auto* actions = new QHBoxLayout();
  // The buttons wrap in a narrow column.
  auto* buttonsBox = new QWidget(storedBox_);
  auto* buttons = new FlowLayout(6, buttonsBox);
  againButton_ = new QPushButton("Translate Again", storedBox_);
  againButton_->setObjectName("translateAgainButton");
  auto* copy = new QPushButton("Copy", storedBox_);
  copy->setObjectName("copyTranslationButton");
  auto* remove = new QPushButton("Remove", storedBox_);
  remove->setObjectName("removeTranslationButton");
  remove->setToolTip("Remove the translation. The original text isn't touched.");
  for (QPushButton* button : {againButton_, copy, remove}) {
    detail_style::scaleFont(button, 0.92);
    buttons->addWidget(button);
  }
  actions->addWidget(buttonsBox);
  actions->addStretch();
  storedStatus_ = new TranslationStatus(storedBox_);
  actions->addWidget(storedStatus_);
  stored->addLayout(actions);
  auto* note = new QLabel(
      "A reading aid made by a small model. Names, dates and amounts are kept as written; check "
      "anything important against the original.",
      storedBox_);
  note->setWordWrap(true);
  detail_style::scaleFont(note, 0.78);
  detail_style::secondary(note);
  stored->addWidget(note);
  outer->addWidget(storedBox_);

  // Shape B: the offer to translate.
  offerBox_ = new RoundedBox(withAlpha(Palette::airBlue(), 0.07), std::nullopt, this);
  offerBox_->setObjectName("translationOffer");
  auto* offer = new QVBoxLayout(offerBox_);
  offer->setContentsMargins(10, 10, 10, 10);
  offer->setSpacing(6);
  auto* offerRow = new QHBoxLayout();
  offerRow->setSpacing(8);
  auto* book = new QLabel(offerBox_);
  const QIcon bookIcon = detail_style::themed("accessories-dictionary");
  if (!bookIcon.isNull()) book->setPixmap(bookIcon.pixmap(16, 16));
  // On two lines where the column is narrow.
  offerText_ = new PanelStyle::ClampedText(QString(), 2, Qt::ElideRight, offerBox_);
  offerText_->setObjectName("detectedLanguage");
  offerButton_ = new QPushButton("Translate to English", offerBox_);
  offerButton_->setObjectName("translateButton");
  detail_style::scaleFont(offerButton_, 0.92);
  offerRow->addWidget(book);
  offerRow->addWidget(offerText_);
  offerRow->addWidget(offerButton_);
  offerRow->addStretch();
  offer->addLayout(offerRow);
  offerStatus_ = new TranslationStatus(offerBox_);
  offer->addWidget(offerStatus_);
  outer->addWidget(offerBox_);

  connect(againButton_, &QPushButton::clicked, this, [this] { model_.translate(itemId_); });
  connect(copy, &QPushButton::clicked, this, [this] {
    if (translation_) QApplication::clipboard()->setText(QString::fromStdString(translation_->text));
  });
  connect(remove, &QPushButton::clicked, this, [this] {
    model_.catalog().deleteTranslation(itemId_);
    refresh();
  });
  connect(offerButton_, &QPushButton::clicked, this, [this] { start(); });
  connect(&model_, &AppModel::translatingChanged, this, [this] { showStatus(); });
  connect(&model_, &AppModel::changeTickChanged, this, [this] { refresh(); });
  showShape();
}

void TranslationSection::setText(const std::string& text) {
  if (text_ && *text_ == text) return;
  const bool first = !text_;
  text_ = text;
  if (first) {
    refresh();
  } else {
    refreshTimer_.start();
  }
}

void TranslationSection::refresh() {
  refreshTimer_.stop();
  ++refreshes_;
  translation_ = model_.catalog().getTranslation(itemId_);
  // Stale against the text as stored, not as typed: the page stores edits soon.
  stale_ = translation_ &&
           Translator::isStale(*translation_, model_.catalog().getTranscription(itemId_));
  detected_ = Translator::detect(text_.value_or(std::string()));
  showShape();
}

TranslationSection::Shape TranslationSection::shape() const {
  return shapeFor(translation_.has_value(), detected_.has_value());
}

bool TranslationSection::working() const { return model_.translating().count(itemId_) > 0; }

void TranslationSection::start() {
  if (model_.readerInstalled()) {
    model_.translate(itemId_);
    return;
  }
  model_.setNotice(std::string(kNeedsReaderNotice));
  model_.startDownload({});
}

void TranslationSection::showShape() {
  const Shape current = shape();
  storedBox_->setVisible(current == Shape::stored);
  offerBox_->setVisible(current == Shape::offer);
  if (translation_) {
    fromLabel_->setText(QString::fromStdString(translatedFrom(translation_->languageName)));
    translationText_->setText(QString::fromStdString(translation_->text));
  }
  staleRow_->setVisible(stale_);
  if (detected_) offerText_->setText(QString::fromStdString(looksLike(detected_->name)));
  showStatus();
  setVisible(current != Shape::none);
}

void TranslationSection::showStatus() {
  static_cast<TranslationStatus*>(storedStatus_)->showFor(model_, itemId_);
  static_cast<TranslationStatus*>(offerStatus_)->showFor(model_, itemId_);
  againButton_->setEnabled(!working());
  offerButton_->setEnabled(!working());
}

}  // namespace quorvel::app
