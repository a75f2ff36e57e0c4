// The item page: its state, loading it from the catalog, saving edits back,
// the header with its toolbar, and the outer layout.
#include "app/detail_view.h"

#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QResizeEvent>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "app/app_model.h"
#include "app/detail_scan_pane.h"
#include "app/detail_view_style.h"
#include "app/panel_style.h"
#include "app/translate_view.h"
#include "core/date_extractor.h"
#include "core/text.h"

namespace quorvel::app {

namespace DetailText {

std::string title(const std::optional<ArchiveItem>& item) {
  return item ? item->displayTitle() : "Scan";
}

std::string subtitle(const std::optional<ArchiveItem>& item) {
  if (!item) return "";
  return label(item->kind) + " · " + item->fileName;
}

std::string statusLine(const std::optional<ArchiveItem>& item, bool corrected,
                       const std::string& engine, const std::string& text) {
  if (!item) return "";
  if (item->ocrStatus == OcrStatus::pending || item->ocrStatus == OcrStatus::running) return "Reading…";
  if (item->ocrStatus == OcrStatus::failed) return "Couldn't be read";
  if (corrected) return "Edited by you";
  if (engine.rfind("handwriting", 0) == 0) return "Read by the handwriting reader";
  if (text.empty()) return "No text found";
  return "Read automatically";
}

std::string readingHint(bool corrected, const std::string& text,
                        const std::optional<std::string>& estimate) {
  if (corrected && !text::trimmed(text).empty()) {
    return "You've edited this text, so a new reading won't replace it. Clear the text first if "
           "you want a fresh read.";
  }
  if (estimate) return "Handwriting takes about " + *estimate + " for this page.";
  return "";
}

std::string fileSize(std::int64_t bytes) {
  char buffer[64];
  if (bytes == 0) return "Zero KB";
  if (bytes == 1) return "1 byte";
  if (bytes < 1000) return std::to_string(bytes) + " bytes";
  const double value = static_cast<double>(bytes);
  if (bytes < 1000 * 1000) {
    std::snprintf(buffer, sizeof buffer, "%.0f KB", value / 1e3);
  } else if (bytes < 1000LL * 1000 * 1000) {
    std::snprintf(buffer, sizeof buffer, "%.1f MB", value / 1e6);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.2f GB", value / 1e9);
  }
  return buffer;
}

std::string facts(const ArchiveItem& item) {
  return std::to_string(item.width) + " × " + std::to_string(item.height) + " · " +
         fileSize(item.fileSize);
}

std::string missingDescription(const std::string& path) {
  return "The file isn't where it was:\n" + path + "\nYour transcription, people and dates are still here.";
}

std::string unreadableDescription(const std::string& path) {
  return "The file is there, but it couldn't be opened as a picture:\n" + path +
         "\nYour transcription, people and dates are still here.";
}

std::string uncertainChip(const UncertainWord& word) {
  return word.Chosen + " or " + word.Alternative + "?";
}

std::vector<UncertainWord> dismissing(const std::vector<UncertainWord>& words,
                                      const UncertainWord& word) {
  std::vector<UncertainWord> left = words;
  std::erase(left, word);
  return left;
}

std::string storedUncertain(const std::vector<UncertainWord>& words) {
  if (words.empty()) return "";
  std::string json = encodeUncertainWords(words);
  return isValidUtf8(json) ? json : "[]";
}

int editorWidth(int pageWidth) {
  return std::clamp(static_cast<int>(std::lround(pageWidth * 0.44)), 300, 560);
}

bool toolbarBesideTitle(int pageWidth, int toolbarWidth) {
  return pageWidth - kHeaderMargins - toolbarWidth >= kTitleRoom;
}

}  // namespace DetailText

DetailView::DetailView(AppModel& model, std::int64_t itemId, QWidget* parent)
    : QWidget(parent), model_(model), modelAlive_(&model), itemId_(itemId) {
  setObjectName("detailView");
  saveTimer_.setSingleShot(true);
  saveTimer_.setInterval(800);
  connect(&saveTimer_, &QTimer::timeout, this, [this] { saveNow(); });

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  outer->addWidget(buildToolbar());
  auto* topLine = new QFrame(this);
  topLine->setFrameShape(QFrame::HLine);
  topLine->setFrameShadow(QFrame::Plain);
  topLine->setForegroundRole(QPalette::Mid);
  outer->addWidget(topLine);

  auto* body = new QHBoxLayout();
  body->setContentsMargins(0, 0, 0, 0);
  body->setSpacing(0);
  scanPane_ = new ScanPane(this);
  body->addWidget(scanPane_, 1);
  auto* divider = new QFrame(this);
  divider->setFrameShape(QFrame::VLine);
  divider->setFrameShadow(QFrame::Plain);
  divider->setForegroundRole(QPalette::Mid);
  body->addWidget(divider);
  editorColumn_ = buildEditorPane();
  editorColumn_->setFixedWidth(DetailText::editorWidth(width()));
  body->addWidget(editorColumn_);
  outer->addLayout(body, 1);

  connect(scanPane_, &ScanPane::decoded, this, [this](bool ok) {
    if (!ok) {
      missing_ = true;
      const std::string path = item_ ? item_->path : std::string();
      std::error_code error;
      scanPane_->showMissing(path, std::filesystem::exists(path, error));
    }
    showReadingState();
  });
  connect(&model_, &AppModel::changeTickChanged, this, [this] { load(/*keepText=*/true); });
  connect(&model_, &AppModel::queueChanged, this, [this] { showReadingState(); });
  connect(&model_, &AppModel::downloadChanged, this, [this] { showReadingState(); });
  connect(&model_, &AppModel::highlightChanged, this, [this] { showHighlight(); });

  load(/*keepText=*/false);
}

DetailView::~DetailView() {
  // A page outliving its model has nowhere left to save to.
  if (modelAlive_) saveNow();
  // The children go after this body; nothing they signal may reach this page then.
  if (modelAlive_) disconnect(&model_, nullptr, this, nullptr);
  for (QObject* child : findChildren<QObject*>()) QObject::disconnect(child, nullptr, this, nullptr);
}

QString DetailView::pageTitle() const { return QString::fromStdString(DetailText::title(item_)); }
QString DetailView::pageSubtitle() const { return QString::fromStdString(DetailText::subtitle(item_)); }

void DetailView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  editorColumn_->setFixedWidth(DetailText::editorWidth(event->size().width()));
  header_->setDirection(DetailText::toolbarBesideTitle(event->size().width(), toolbarWidth_)
                            ? QBoxLayout::LeftToRight
                            : QBoxLayout::TopToBottom);
  updateReadButtonLabels();
}

void DetailView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (modelAlive_) saveNow();
}

// ---- The header and toolbar ----

QWidget* DetailView::buildToolbar() {
  auto* bar = new QWidget(this);
  bar->setObjectName("detailHeader");
  auto* layout = new QBoxLayout(QBoxLayout::LeftToRight, bar);
  header_ = layout;
  layout->setContentsMargins(14, 8, 10, 8);  // DetailText::kHeaderMargins in all
  layout->setSpacing(6);
  auto* titles = new QVBoxLayout();
  titles->setSpacing(0);
  // Cut with an ellipsis where the page is narrow, never wider than the room left.
  titleLabel_ = new PanelStyle::ClampedText(QString(), 1, Qt::ElideRight, bar);
  titleLabel_->setObjectName("detailTitle");
  detail_style::scaleFont(titleLabel_, 1.1, QFont::DemiBold);
  subtitleLabel_ = new PanelStyle::ClampedText(QString(), 1, Qt::ElideMiddle, bar);
  subtitleLabel_->setObjectName("detailSubtitle");
  detail_style::caption(subtitleLabel_);
  subtitleLabel_->setColor(PanelStyle::secondary());
  titles->addWidget(titleLabel_);
  titles->addWidget(subtitleLabel_);
  layout->addLayout(titles, 1);

  toolbar_ = new QWidget(bar);
  toolbar_->setObjectName("detailToolbar");
  auto* buttons = new QHBoxLayout(toolbar_);
  buttons->setContentsMargins(0, 0, 0, 0);
  buttons->setSpacing(2);
  auto makeButton = [&](const char* name, const QString& text, const char* icon, const QString& help) {
    auto* button = new QToolButton(toolbar_);
    button->setObjectName(name);
    button->setText(text);
    button->setIcon(detail_style::themed(icon));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setAutoRaise(true);
    button->setToolTip(help);
    buttons->addWidget(button);
    return button;
  };
  favoriteButton_ = makeButton("favoriteButton", "Favorite", "non-starred", "Add to Favorites");
  QToolButton* reveal = makeButton("revealButton", "Show in File Manager", "folder-open",
                                   "Show the scan in the file manager");
  QToolButton* pdf = makeButton("pdfButton", "Save as PDF", "document-save-as", "Save as a searchable PDF");
  QToolButton* remove = makeButton("removeButton", "Remove", "user-trash",
                                   "Remove from your library. The file stays on your computer.");
  buttons->addStretch();
  layout->addWidget(toolbar_);
  toolbarWidth_ = toolbar_->sizeHint().width();

  connect(favoriteButton_, &QToolButton::clicked, this, [this] {
    if (!item_) return;
    model_.toggleFavorite(*item_);  // its change tick reloads the page
  });
  connect(reveal, &QToolButton::clicked, this, [this] {
    if (item_) model_.desktop().reveal(item_->path);
  });
  connect(pdf, &QToolButton::clicked, this, [this] {
    if (!item_) return;
    saveNow();
    if (item_) model_.exportPdf(*item_);
  });
  connect(remove, &QToolButton::clicked, this, [this] {
    if (!item_) return;
    saveNow();
    // Removal closes this page: let the click end before the page goes.
    AppModel* model = &model_;
    const std::int64_t id = itemId_;
    QTimer::singleShot(0, model, [model, id] { model->remove({id}); });
  });
  return bar;
}

void DetailView::updateHeader() {
  const QString title = pageTitle();
  const QString subtitle = pageSubtitle();
  const bool changed = titleLabel_->text() != title || subtitleLabel_->text() != subtitle;
  titleLabel_->setText(title);
  subtitleLabel_->setText(subtitle);
  subtitleLabel_->setVisible(!subtitle.isEmpty());
  toolbar_->setVisible(item_.has_value());
  if (item_) {
    const bool favorite = item_->favorite;
    favoriteButton_->setIcon(detail_style::themed(favorite ? "starred" : "non-starred"));
    favoriteButton_->setToolTip(favorite ? "Remove from Favorites" : "Add to Favorites");
    favoriteButton_->setCheckable(true);
    favoriteButton_->setChecked(favorite);
  }
  if (changed) emit headerChanged();
}

// ---- Load and save ----

void DetailView::load(bool keepText) {
  Catalog& catalog = model_.catalog();
  std::optional<ArchiveItem> row = catalog.getItem(itemId_);
  if (!row) {
    item_.reset();
    scanPane_->setFacts(std::nullopt);
    updateHeader();
    return;
  }
  const bool hadNoItem = !item_;
  item_ = row;
  const std::optional<Transcription> transcription = catalog.getTranscription(itemId_);
  const std::string stored = transcription ? transcription->text : std::string();
  if (hadNoItem || !keepText) {
    title_ = row->title;
    notes_ = row->notes;
    text_ = stored;
    savedText_ = stored;
  } else if (text_ == savedText_) {
    text_ = stored;
    savedText_ = stored;
  }
  engine_ = transcription ? transcription->engine : std::string();
  corrected_ = transcription && transcription->corrected;
  uncertain_.clear();
  if (transcription && !transcription->uncertainJson.empty()) {
    uncertain_ = decodeUncertainWords(transcription->uncertainJson).value_or(std::vector<UncertainWord>{});
  }
  people_ = catalog.peopleForItem(itemId_);
  dates_ = catalog.datesForItem(itemId_);

  if (!decodeStarted_) {
    std::error_code error;
    if (!std::filesystem::exists(row->path, error)) {
      missing_ = true;
      scanPane_->showMissing(row->path, /*fileThere=*/false);
    } else {
      missing_ = false;
      decodeStarted_ = true;
      scanPane_->decode(row->path);
    }
  }
  scanPane_->setFacts(QString::fromStdString(DetailText::facts(*row)));
  showEditorState();
  updateHeader();
}

void DetailView::scheduleSave() { saveTimer_.start(); }

void DetailView::saveNow() {
  saveTimer_.stop();
  // Nothing typed since the page was loaded or saved: nothing to read or write.
  if (text_ == savedText_ && item_ && item_->title == title_ && item_->notes == notes_) return;
  Catalog& catalog = model_.catalog();
  // An item removed meanwhile takes nothing more: no text, dates or facts
  // are written for a row that is gone.
  const std::optional<ArchiveItem> row = catalog.getItem(itemId_);
  if (!row) return;
  if (text_ != savedText_) {
    catalog.saveCorrectedText(itemId_, text_);
    savedText_ = text_;
    corrected_ = true;
    // The save marks the reading done: the status line reads it from the row.
    if (std::optional<ArchiveItem> saved = catalog.getItem(itemId_)) item_ = std::move(saved);
    catalog.replaceExtractedDates(itemId_, DateExtractor::extractForItem(text_, row->fileName, itemId_));
    dates_ = catalog.datesForItem(itemId_);
    // The library's snippet, reading status and years follow the new text.
    model_.scheduleReload(0.4);
    showDates();
    showEditorState();
  }
  saveFacts();
}

void DetailView::saveFacts() {
  std::optional<ArchiveItem> row = model_.catalog().getItem(itemId_);
  if (!row) return;
  if (row->title == title_ && row->notes == notes_) return;
  row->title = title_;
  row->notes = notes_;
  model_.catalog().updateItem(*row);
  item_ = row;
  model_.scheduleReload(0.4);
  updateHeader();
}

void DetailView::setKind(ItemKind kind) {
  std::optional<ArchiveItem> row = model_.catalog().getItem(itemId_);
  if (!row) return;
  row->kind = kind;
  model_.catalog().updateItem(*row);
  item_ = row;
  model_.scheduleReload(0.4);
  updateHeader();
}

void DetailView::refreshLists() {
  people_ = model_.catalog().peopleForItem(itemId_);
  dates_ = model_.catalog().datesForItem(itemId_);
  showPeople();
  showDates();
  model_.scheduleReload(0.4);
}

}  // namespace quorvel::app
