// The item page's editor pane: title and kind, the highlighted answer line,
// the transcription with its status line, the reading buttons and the
// handwriting reading's state.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/app_model.h"
#include "app/components.h"
#include "app/detail_view.h"
#include "app/detail_view_style.h"
#include "app/panel_style.h"
#include "app/reader_download_offer.h"
#include "app/translate_view.h"

namespace quorvel::app {

using Palette::withAlpha;

namespace {

constexpr int kPaneMargin = 18;
constexpr int kButtonSpacing = 6;

}  // namespace

// A text editor on a rounded box with the text background colour and a faint
// outline, padded 8 points; used for the transcription and the notes.
QPlainTextEdit* makeBoxedEditor(QWidget* parent, QWidget** box, int minimumHeight) {
  const QPalette palette = QApplication::palette();
  auto* frame = new RoundedBox(palette.color(QPalette::Base),
                               withAlpha(palette.color(QPalette::WindowText), 0.12), parent);
  auto* layout = new QVBoxLayout(frame);
  layout->setContentsMargins(8, 8, 8, 8);
  auto* editor = new QPlainTextEdit(frame);
  editor->setFrameShape(QFrame::NoFrame);
  editor->viewport()->setAutoFillBackground(false);
  editor->setStyleSheet("QPlainTextEdit { background: transparent; }");
  editor->setMinimumHeight(minimumHeight - 16);
  layout->addWidget(editor);
  frame->setMinimumHeight(minimumHeight);
  *box = frame;
  return editor;
}

QWidget* DetailView::buildEditorPane() {
  auto* scroll = new QScrollArea(this);
  scroll->setObjectName("editorPane");
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* content = new QWidget(scroll);
  content->setObjectName("editorContent");
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(kPaneMargin, kPaneMargin, kPaneMargin, kPaneMargin);
  layout->setSpacing(18);
  layout->addWidget(buildTitleSection());
  layout->addWidget(buildHighlight());
  layout->addWidget(buildTranscriptionSection());
  translation_ = new TranslationSection(model_, itemId_, content);
  layout->addWidget(translation_);
  layout->addWidget(buildUncertainSection());
  layout->addWidget(buildPeopleSection());
  layout->addWidget(buildDatesSection());
  layout->addWidget(buildNotesSection());
  layout->addStretch();
  scroll->setWidget(content);
  return scroll;
}

QWidget* DetailView::buildTitleSection() {
  auto* section = new QWidget(this);
  auto* layout = new QVBoxLayout(section);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(8);
  titleField_ = new QLineEdit(section);
  titleField_->setObjectName("titleField");
  titleField_->setAccessibleName("Title");
  titleField_->setPlaceholderText("Give this scan a title");
  titleField_->setFrame(false);
  titleField_->setStyleSheet("QLineEdit { background: transparent; }");
  detail_style::scaleFont(titleField_, 1.5, QFont::DemiBold);
  layout->addWidget(titleField_);
  kindPicker_ = new QComboBox(section);
  kindPicker_->setObjectName("kindPicker");
  kindPicker_->setAccessibleName("Kind");
  for (ItemKind kind : allItemKinds()) {
    kindPicker_->addItem(QString::fromStdString(label(kind)), static_cast<int>(kind));
  }
  kindPicker_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  layout->addWidget(kindPicker_, 0, Qt::AlignLeft);

  connect(titleField_, &QLineEdit::textEdited, this,
          [this](const QString& text) { title_ = text.toStdString(); });
  connect(titleField_, &QLineEdit::returnPressed, this, [this] { saveFacts(); });
  connect(kindPicker_, &QComboBox::activated, this, [this](int index) {
    const auto kind = itemKindFromInt(kindPicker_->itemData(index).toInt());
    if (kind) setKind(*kind);
  });
  return section;
}

QWidget* DetailView::buildHighlight() {
  auto* box = new RoundedBox(withAlpha(Palette::flag(), 0.35), std::nullopt, this);
  box->setObjectName("highlightLine");
  highlight_ = box;
  auto* layout = new QHBoxLayout(box);
  layout->setContentsMargins(10, 10, 10, 10);
  layout->setSpacing(8);
  auto* icon = new QLabel("“", box);
  QFont iconFont = icon->font();
  iconFont.setPointSizeF(iconFont.pointSizeF() * 1.8);
  iconFont.setBold(true);
  icon->setFont(iconFont);
  QPalette blue = icon->palette();
  blue.setColor(QPalette::WindowText, Palette::airBlue());
  icon->setPalette(blue);
  layout->addWidget(icon, 0, Qt::AlignTop);
  auto* texts = new QVBoxLayout();
  texts->setSpacing(2);
  auto* caption = new QLabel("The line your answer came from", box);
  detail_style::caption(caption);
  detail_style::secondary(caption);
  highlightQuote_ = new QLabel(box);
  highlightQuote_->setObjectName("highlightQuote");
  highlightQuote_->setTextFormat(Qt::PlainText);
  highlightQuote_->setWordWrap(true);
  highlightQuote_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QFont quoteFont = highlightQuote_->font();
  quoteFont.setItalic(true);
  highlightQuote_->setFont(quoteFont);
  texts->addWidget(caption);
  texts->addWidget(highlightQuote_);
  layout->addLayout(texts, 1);
  auto* dismiss = new QToolButton(box);
  dismiss->setObjectName("dismissHighlightButton");
  dismiss->setAutoRaise(true);
  dismiss->setToolTip("Dismiss");
  detail_style::icon(dismiss, "window-close", "×");
  layout->addWidget(dismiss, 0, Qt::AlignTop);
  connect(dismiss, &QToolButton::clicked, this, [this] { model_.setHighlight(std::nullopt); });
  box->hide();
  return box;
}

QWidget* DetailView::buildTranscriptionSection() {
  auto* section = new QWidget(this);
  auto* layout = new QVBoxLayout(section);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(6);
  auto* header = new QHBoxLayout();
  header->addWidget(new SectionLabel("Transcription", section), 0, Qt::AlignTop);
  statusLabel_ = new QLabel(section);
  statusLabel_->setObjectName("statusLine");
  // Takes the room left beside the heading, on two lines where it is narrow.
  statusLabel_->setWordWrap(true);
  statusLabel_->setAlignment(Qt::AlignRight | Qt::AlignTop);
  detail_style::caption(statusLabel_);
  detail_style::secondary(statusLabel_);
  header->addWidget(statusLabel_, 1);
  layout->addLayout(header);

  QWidget* box = nullptr;
  textEditor_ = makeBoxedEditor(section, &box, 220);
  textEditor_->setObjectName("transcriptionEditor");
  layout->addWidget(box);

  readButtons_ = new QWidget(section);
  readButtons_->setObjectName("readButtons");
  // A column too narrow even for the short labels wraps the buttons.
  auto* buttons = new FlowLayout(kButtonSpacing, readButtons_);
  readAgainButton_ = new QPushButton(readButtons_);
  readAgainButton_->setObjectName("readAgainButton");
  readAgainButton_->setToolTip("Run the built-in text reader on this scan again");
  handwritingButton_ = new QPushButton(readButtons_);
  handwritingButton_->setObjectName("readHandwritingButton");
  handwritingButton_->setToolTip(
      "Read cursive and handwriting with the reader that runs on this computer. Takes a minute or "
      "two per page.");
  copyButton_ = new QPushButton("Copy", readButtons_);
  copyButton_->setObjectName("copyTextButton");
  for (QPushButton* button : {readAgainButton_, handwritingButton_, copyButton_}) {
    detail_style::scaleFont(button, 0.92);
    buttons->addWidget(button);
  }
  // The width the full labels need; narrower columns get the short ones.
  readAgainButton_->setText("Read Printed Text Again");
  handwritingButton_->setText("Read Handwriting");
  fullButtonsWidth_ = readAgainButton_->sizeHint().width() + handwritingButton_->sizeHint().width() +
                      copyButton_->sizeHint().width() + 2 * kButtonSpacing;
  layout->addWidget(readButtons_);

  currentRow_ = new QWidget(section);
  currentRow_->setObjectName("readingRow");
  auto* current = new QHBoxLayout(currentRow_);
  current->setContentsMargins(0, 0, 0, 0);
  current->setSpacing(8);
  readingProgress_ = new QProgressBar(currentRow_);
  readingProgress_->setObjectName("readingProgress");
  readingProgress_->setMaximumWidth(160);
  readingProgress_->setTextVisible(false);
  readingSpinner_ = new QProgressBar(currentRow_);
  readingSpinner_->setObjectName("readingSpinner");
  readingSpinner_->setRange(0, 0);
  readingSpinner_->setMaximumWidth(60);
  readingSpinner_->setMaximumHeight(12);
  readingSpinner_->setTextVisible(false);
  readingMessage_ = new QLabel(currentRow_);
  readingMessage_->setObjectName("readingMessage");
  readingMessage_->setWordWrap(true);
  detail_style::caption(readingMessage_);
  detail_style::secondary(readingMessage_);
  auto* stop = new QPushButton("Stop", currentRow_);
  stop->setObjectName("stopReadingButton");
  detail_style::scaleFont(stop, 0.92);
  current->addWidget(readingProgress_);
  current->addWidget(readingSpinner_);
  current->addWidget(readingMessage_, 1);
  current->addWidget(stop);
  layout->addWidget(currentRow_);

  waitingRow_ = new QWidget(section);
  waitingRow_->setObjectName("waitingRow");
  auto* waiting = new QHBoxLayout(waitingRow_);
  waiting->setContentsMargins(0, 0, 0, 0);
  waiting->setSpacing(8);
  // On two lines where the column is narrow.
  auto* waitingText =
      new PanelStyle::ClampedText("Waiting its turn for the handwriting reader", 2, Qt::ElideRight, waitingRow_);
  detail_style::caption(waitingText);
  waitingText->setColor(PanelStyle::secondary());
  auto* cancel = new QPushButton("Cancel", waitingRow_);
  cancel->setObjectName("cancelReadingButton");
  detail_style::scaleFont(cancel, 0.92);
  waiting->addWidget(waitingText);
  waiting->addWidget(cancel);
  waiting->addStretch();
  layout->addWidget(waitingRow_);

  hintLabel_ = new QLabel(section);
  hintLabel_->setObjectName("readingHint");
  hintLabel_->setWordWrap(true);
  detail_style::caption(hintLabel_);
  detail_style::secondary(hintLabel_);
  layout->addWidget(hintLabel_);

  connect(textEditor_, &QPlainTextEdit::textChanged, this, [this] {
    if (settingText_) return;
    text_ = textEditor_->toPlainText().toStdString();
    statusLabel_->setText(QString::fromStdString(DetailText::statusLine(item_, corrected_, engine_, text_)));
    translation_->setText(text_);
    showReadingState(/*askEstimate=*/false);
    scheduleSave();
  });
  connect(readAgainButton_, &QPushButton::clicked, this, [this] { readPrintedAgain(); });
  connect(handwritingButton_, &QPushButton::clicked, this, [this] { readHandwriting(); });
  connect(copyButton_, &QPushButton::clicked, this,
          [this] { QApplication::clipboard()->setText(QString::fromStdString(text_)); });
  connect(stop, &QPushButton::clicked, this, [this] { model_.handwritingQueue().cancel(itemId_); });
  connect(cancel, &QPushButton::clicked, this, [this] { model_.handwritingQueue().cancel(itemId_); });
  updateReadButtonLabels();
  return section;
}

void DetailView::updateReadButtonLabels() {
  if (!readButtons_) return;
  // The column's width less the pane's margins and a vertical scroll bar.
  const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  const int offered = DetailText::editorWidth(width()) - 2 * kPaneMargin - scrollBar;
  const bool full = fullButtonsWidth_ <= offered;
  readAgainButton_->setText(full ? "Read Printed Text Again" : "Read Again");
  handwritingButton_->setText(full ? "Read Handwriting" : "Handwriting");
}

void DetailView::showEditorState() {
  settingText_ = true;
  const QString title = QString::fromStdString(title_);
  if (titleField_->text() != title) {
    titleField_->setText(title);
    titleField_->setCursorPosition(0);  // a long title shows its beginning
  }
  const int kindIndex = kindPicker_->findData(static_cast<int>(item_ ? item_->kind : ItemKind::unknown));
  if (kindPicker_->currentIndex() != kindIndex) kindPicker_->setCurrentIndex(kindIndex);
  // Only a different text is set: setting it moves the cursor and the scroll position.
  const QString text = QString::fromStdString(text_);
  if (textEditor_->toPlainText() != text) textEditor_->setPlainText(text);
  const QString notes = QString::fromStdString(notes_);
  if (notesEditor_->toPlainText() != notes) notesEditor_->setPlainText(notes);
  settingText_ = false;
  statusLabel_->setText(QString::fromStdString(DetailText::statusLine(item_, corrected_, engine_, text_)));
  translation_->setText(text_);
  showHighlight();
  showReadingState();
  showUncertain();
  showPeople();
  showDates();
}

void DetailView::showHighlight() {
  const std::optional<Highlight>& highlight = model_.highlight();
  const bool shown = highlight && highlight->itemId == itemId_;
  if (shown) highlightQuote_->setText(QString::fromStdString("“" + highlight->quote + "”"));
  highlight_->setVisible(shown);
}

std::optional<std::string> DetailView::estimate() const {
  if (!model_.readerInstalled() || !item_) return std::nullopt;
  const auto seconds = model_.handwriting().estimateSeconds(item_->width, item_->height);
  if (!seconds) return std::nullopt;
  return HandwritingEngine::pretty(*seconds);
}

void DetailView::showReadingState(bool askEstimate) {
  if (!currentRow_) return;
  if (askEstimate) estimate_ = estimate();
  const QueueState& queue = model_.queue();
  const bool current = queue.currentItemId && *queue.currentItemId == itemId_;
  const bool waiting =
      !current && std::find(queue.waiting.begin(), queue.waiting.end(), itemId_) != queue.waiting.end();
  handwritingButton_->setEnabled(!current && !waiting && !missing_);
  currentRow_->setVisible(current);
  waitingRow_->setVisible(waiting);
  if (current) {
    const bool determinate = queue.progress && queue.progress->total > 0;
    readingProgress_->setVisible(determinate);
    readingSpinner_->setVisible(!determinate);
    if (determinate) {
      const int total = static_cast<int>(std::min<std::int64_t>(queue.progress->total, 1'000'000));
      readingProgress_->setRange(0, total);
      readingProgress_->setValue(static_cast<int>(std::clamp<std::int64_t>(queue.progress->done, 0, total)));
    }
    readingMessage_->setText(
        QString::fromStdString(queue.progress ? queue.progress->message : std::string("Getting ready…")));
  }
  const std::string hint =
      current || waiting ? std::string() : DetailText::readingHint(corrected_, text_, estimate_);
  hintLabel_->setText(QString::fromStdString(hint));
  hintLabel_->setVisible(!hint.empty());
}

void DetailView::readPrintedAgain() {
  saveNow();
  model_.pipeline().enqueue(itemId_, /*force=*/true);
}

void DetailView::readHandwriting() {
  saveNow();
  if (!model_.readerInstalled()) {
    offerDownloadFor_ = std::vector<std::int64_t>{itemId_};
    ReaderDownloadOffer::present(model_, offerDownloadFor_);
    return;
  }
  model_.readHandwriting({itemId_});
}

}  // namespace quorvel::app
