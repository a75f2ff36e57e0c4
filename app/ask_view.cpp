#include "app/ask_view.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "app/answer_card.h"
#include "app/app_model.h"
#include "app/components.h"
#include "app/panel_style.h"
#include "app/reader_download_offer.h"

namespace quorvel::app {

using PanelStyle::Text;

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

// The question field: plain text that grows from one to three lines; Return
// sends, Shift+Return or Alt+Return starts a new line.
class QuestionField : public QPlainTextEdit {
 public:
  explicit QuestionField(std::function<void()> submit, QWidget* parent = nullptr)
      : QPlainTextEdit(parent), submit_(std::move(submit)) {
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    document()->setDocumentMargin(4);
    connect(this, &QPlainTextEdit::textChanged, this, [this] { fitHeight(); });
    fitHeight();
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    const bool returnKey = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (returnKey && !(event->modifiers() & (Qt::ShiftModifier | Qt::AltModifier))) {
      submit_();
      return;
    }
    if (returnKey) {
      insertPlainText("\n");
      return;
    }
    QPlainTextEdit::keyPressEvent(event);
  }
  void resizeEvent(QResizeEvent* event) override {
    QPlainTextEdit::resizeEvent(event);
    fitHeight();
  }

 private:
  void fitHeight() {
    // The plain text layout measures the document in lines; an empty field
    // shows its placeholder, which wraps like the text when the panel is narrow.
    int measured = static_cast<int>(document()->size().height());
    if (document()->isEmpty() && !placeholderText().isEmpty()) {
      // The frame's inside: the viewport may not have its new width yet.
      const int width = contentsRect().width() - 2 * static_cast<int>(document()->documentMargin());
      const QRect wrapped = fontMetrics().boundingRect(QRect(0, 0, std::max(1, width), 10000),
                                                       Qt::TextWordWrap, placeholderText());
      measured = std::max(measured, (wrapped.height() + fontMetrics().lineSpacing() - 1) /
                                        fontMetrics().lineSpacing());
    }
    const int lines = std::clamp(measured, 1, 3);
    const int height = lines * fontMetrics().lineSpacing() +
                       2 * static_cast<int>(document()->documentMargin()) + 2 * frameWidth() +
                       contentsMargins().top() + contentsMargins().bottom();
    if (height == this->height()) return;
    setFixedHeight(height);
    // Changed from within a resize, the height reaches the frame but not
    // the viewport inside it, which draws the text: lay it out again.
    setViewportMargins(0, 0, 0, 0);
  }
  std::function<void()> submit_;
};

bool isBlank(QChar c) { return c == ' ' || c == '\t'; }

}  // namespace

const std::vector<std::string>& AskPanel::examples() {
  static const std::vector<std::string> list = {
      "Where did the family live in 1931?",
      "Who got married, and when?",
      "What ship did they sail on?",
  };
  return list;
}

bool AskPanel::canAsk(const QString& question, bool asking) {
  if (asking) return false;
  for (QChar c : question) {
    if (!isBlank(c)) return true;
  }
  return false;
}

QString AskPanel::trimmedQuestion(const QString& question) { return question.trimmed(); }

std::string AskPanel::readerNeededText() {
  return "Asking questions uses the same reader that reads handwriting. It runs entirely on this "
         "computer and is a one-time " +
         ReaderDownloadOffer::sizeText() + " download.";
}

std::string AskPanel::readerButtonTitle(bool paused) {
  return paused ? "Resume Download" : "Download the Reader";
}

AskPanel::AskPanel(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  setObjectName("askPanel");
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  // Header.
  auto* header = new QVBoxLayout;
  header->setContentsMargins(16, 16, 16, 10);
  header->setSpacing(4);
  QLabel* title = PanelStyle::label("Ask your letters", Text::title3, this, QFont::DemiBold);
  title->setObjectName("askTitle");
  header->addWidget(title);
  header->addWidget(PanelStyle::caption(
      "Answers come only from your own scans and are worked out on this computer.", this));
  column->addLayout(header);

  // Question row.
  auto* row = new QHBoxLayout;
  row->setContentsMargins(16, 0, 16, 0);
  row->setSpacing(8);
  field_ = new QuestionField([this] { send(); }, this);
  field_->setObjectName("questionField");
  field_->setAccessibleName("Ask a question");
  field_->setPlaceholderText("When did Tobias start at the mill?");
  row->addWidget(field_, 1, Qt::AlignVCenter);
  askButton_ = new QPushButton("Ask", this);
  askButton_->setObjectName("askButton");
  askButton_->setDefault(true);
  // The accent while enabled; a disabled button keeps the style's grey.
  QPalette accent = askButton_->palette();
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    accent.setColor(group, QPalette::Button, Palette::airBlue());
    accent.setColor(group, QPalette::ButtonText, Qt::white);
  }
  askButton_->setPalette(accent);
  row->addWidget(askButton_, 0, Qt::AlignVCenter);
  column->addLayout(row);
  connect(askButton_, &QPushButton::clicked, this, [this] { send(); });
  connect(field_, &QPlainTextEdit::textChanged, this, [this] { updateAskButton(); });

  // Reader-needed box.
  auto* readerInset = new QWidget(this);
  readerInset->setObjectName("readerNeeded");
  auto* insetLayout = new QVBoxLayout(readerInset);
  insetLayout->setContentsMargins(16, 16, 16, 16);
  readerBox_ = new RoundedBox(Palette::withAlpha(readerInset->palette().color(QPalette::WindowText), 0.06),
                              std::nullopt, readerInset);
  auto* box = new QVBoxLayout(readerBox_);
  box->setContentsMargins(12, 12, 12, 12);
  box->setSpacing(8);
  QLabel* needed = PanelStyle::label(qs(readerNeededText()), Text::callout, readerBox_);
  needed->setObjectName("readerNeededText");
  box->addWidget(needed);
  readerProgress_ = new QProgressBar(readerBox_);
  readerProgress_->setObjectName("readerProgress");
  readerProgress_->setRange(0, 1000);
  readerProgress_->setTextVisible(false);
  readerProgress_->setMaximumHeight(8);
  box->addWidget(readerProgress_);
  readerMessage_ = PanelStyle::caption(QString(), readerBox_);
  readerMessage_->setObjectName("readerMessage");
  box->addWidget(readerMessage_);
  readerButton_ = new QPushButton(readerBox_);
  readerButton_->setObjectName("readerButton");
  box->addWidget(readerButton_, 0, Qt::AlignLeft);
  insetLayout->addWidget(readerBox_);
  column->addWidget(readerInset);
  readerBox_ = readerInset;  // shown and hidden as a whole, inset included
  connect(readerButton_, &QPushButton::clicked, this, [this] { model_.startDownload({}); });

  // History.
  scroll_ = new QScrollArea(this);
  scroll_->setObjectName("askHistory");
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* content = new QWidget(scroll_);
  content->setAutoFillBackground(false);
  historyLayout_ = new QVBoxLayout(content);
  historyLayout_->setContentsMargins(16, 16, 16, 16);
  historyLayout_->setSpacing(14);

  examplesBlock_ = new QWidget(content);
  examplesBlock_->setObjectName("askExamples");
  auto* examples = new QVBoxLayout(examplesBlock_);
  examples->setContentsMargins(0, 0, 0, 0);
  examples->setSpacing(8);
  QLabel* lead = PanelStyle::label("Try asking about a person, a place or a year:", Text::callout,
                                   examplesBlock_);
  PanelStyle::setTextColor(lead, PanelStyle::secondary());
  examples->addWidget(lead);
  for (const std::string& example : AskPanel::examples()) {
    auto* button = new QPushButton(qs(example), examplesBlock_);
    button->setObjectName("askExample");
    button->setFont(PanelStyle::font(Text::callout));
    button->setStyleSheet("text-align: left; padding: 5px 10px;");
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    const QString text = qs(example);
    connect(button, &QPushButton::clicked, this, [this, text] {
      setQuestion(text);
      send();
    });
    examples->addWidget(button);
  }
  historyLayout_->addWidget(examplesBlock_);
  historyLayout_->addStretch(1);
  scroll_->setWidget(content);
  scroll_->viewport()->setBackgroundRole(QPalette::Window);
  column->addWidget(scroll_, 1);

  column->addWidget(PanelStyle::divider(this));
  QLabel* footer = PanelStyle::label(
      "Answers can be wrong. Open the letter to check before you rely on one.", Text::caption2, this);
  footer->setObjectName("askFooter");
  PanelStyle::setTextColor(footer, PanelStyle::secondary());
  footer->setContentsMargins(16, 8, 16, 8);
  column->addWidget(footer);

  connect(&model_, &AppModel::askChanged, this, [this] {
    updateAskButton();
    updateHistory();
  });
  connect(&model_, &AppModel::downloadChanged, this, [this] {
    updateReader();
    showExamples();  // the cards do not depend on the download
  });
  updateAskButton();
  updateReader();
  updateHistory();
}

QString AskPanel::question() const { return field_->toPlainText(); }

void AskPanel::setQuestion(const QString& text) {
  field_->setPlainText(text);
  field_->moveCursor(QTextCursor::End);
}

void AskPanel::send() {
  const QString trimmed = trimmedQuestion(question());
  if (trimmed.isEmpty()) return;
  if (model_.asking()) return;
  if (!model_.readerInstalled()) {
    model_.startDownload({});
    return;
  }
  setQuestion(QString());
  model_.ask(trimmed.toStdString());
}

void AskPanel::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  field_->setFocus(Qt::OtherFocusReason);
  updateReader();
}

void AskPanel::updateAskButton() { askButton_->setEnabled(canAsk(question(), model_.asking())); }

void AskPanel::updateReader() {
  const bool needed = !model_.readerInstalled();
  readerBox_->setVisible(needed);
  if (!needed) return;
  const std::optional<DownloadProgress>& download = model_.download();
  readerProgress_->setVisible(download.has_value());
  readerMessage_->setVisible(download.has_value());
  readerButton_->setVisible(!download.has_value());
  if (download) {
    readerProgress_->setValue(static_cast<int>(download->fraction() * 1000));
    readerMessage_->setText(qs(download->message));
  } else {
    readerButton_->setText(qs(readerButtonTitle(model_.downloadPaused())));
    // A download that can't get a server for this computer says so first.
    const bool noServer = !ModelDownloader::canGetServer();
    readerMessage_->setVisible(noServer);
    if (noServer) readerMessage_->setText(qs(ModelDownloader::noServerSentence()));
  }
}

void AskPanel::showExamples() {
  examplesBlock_->setVisible(model_.askHistory().empty() && model_.readerInstalled());
}

void AskPanel::updateHistory() {
  const std::vector<AskEntry>& history = model_.askHistory();
  showExamples();

  // Take the cards out, keep those whose entry is still there, then put them
  // back in the history's order (newest first) under the examples.
  std::map<std::string, AnswerCard*> kept;
  for (auto& [id, card] : cards_) historyLayout_->removeWidget(card);
  for (std::size_t i = 0; i < history.size(); ++i) {
    const AskEntry& entry = history[i];
    AnswerCard* card = nullptr;
    if (auto found = cards_.find(entry.id); found != cards_.end()) {
      card = found->second;
      cards_.erase(found);
      card->setEntry(entry);
    } else {
      card = new AnswerCard(model_, entry, historyLayout_->parentWidget());
    }
    kept.emplace(entry.id, card);
    historyLayout_->insertWidget(static_cast<int>(i) + 1, card);
    card->show();
  }
  for (auto& [id, card] : cards_) {
    card->hide();
    card->setParent(nullptr);
    card->deleteLater();
  }
  cards_ = std::move(kept);
}

}  // namespace quorvel::app
