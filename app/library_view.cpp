#include "app/library_view.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <filesystem>

#include "app/app_model.h"
#include "app/components.h"
#include "app/reader_download_offer.h"
#include "app/scan_card.h"
#include "core/date_extractor.h"

namespace quorvel::app {

namespace Library {

std::string countText(std::size_t count) {
  if (count == 0) return {};
  return std::to_string(count) + (count == 1 ? " scan" : " scans");
}

std::string cardSubtitle(const ArchiveItem& item, const std::unordered_map<std::int64_t, std::string>& snippets,
                         const std::unordered_map<std::int64_t, std::string>& firstDates) {
  if (auto found = snippets.find(item.id); found != snippets.end() && !found->second.empty()) {
    std::string line = found->second;
    for (char& c : line) {
      if (c == '\n') c = ' ';
    }
    return line;
  }
  if (auto found = firstDates.find(item.id); found != firstDates.end()) return DateExtractor::pretty(found->second);
  return label(item.kind);
}

EmptyState emptyState(const std::string& searchText, int archiveItems) {
  const std::size_t first = searchText.find_first_not_of(" \t");
  if (first != std::string::npos) return EmptyState::noSearchResults;
  if (archiveItems != 0) return EmptyState::nothingHere;
  return EmptyState::firstRun;
}

NoticeGroups noticeGroups(const std::string& notice, const std::optional<std::string>& lastBook,
                          bool restoreStaged) {
  NoticeGroups groups;
  if (lastBook) {
    const std::string prefix = "Saved " + std::filesystem::path(*lastBook).filename().string();
    groups.book = notice.rfind(prefix, 0) == 0;
  }
  groups.restore = restoreStaged;
  return groups;
}

std::string undoText(std::size_t removed) {
  if (removed == 1) return "Removed 1 scan from your library. The file is still on your computer.";
  return "Removed " + std::to_string(removed) + " scans from your library. The files are still on your computer.";
}

std::string emptyTitle(EmptyState state, const std::string& searchText) {
  switch (state) {
    case EmptyState::noSearchResults:
      return "No Results for \u201c" + searchText + "\u201d";
    case EmptyState::nothingHere:
      return "Nothing here yet";
    case EmptyState::firstRun:
      return "Start with the family box";
  }
  return {};
}

std::string emptyMessage(EmptyState state) {
  switch (state) {
    case EmptyState::noSearchResults:
      return "Check the spelling or try a new search.";
    case EmptyState::nothingHere:
      return "No scans match this view.";
    case EmptyState::firstRun:
      return "Drag a folder of scans onto this window, or choose Add Scans. Quorvel Ink reads every page and "
             "makes it searchable. Your files stay where they are.";
  }
  return {};
}

}  // namespace Library

// ---- LibraryModel ----

LibraryModel::LibraryModel(AppModel& model, QObject* parent) : QAbstractListModel(parent), model_(model) {
  refresh();
}

int LibraryModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(ids_.size());
}

const ArchiveItem* LibraryModel::item(int row) const {
  const auto& items = model_.items();
  if (row < 0 || static_cast<std::size_t>(row) >= items.size() || static_cast<std::size_t>(row) >= ids_.size())
    return nullptr;
  return &items[static_cast<std::size_t>(row)];
}

QVariant LibraryModel::data(const QModelIndex& index, int role) const {
  const ArchiveItem* entry = item(index.row());
  if (!entry) return {};
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromStdString(Library::cardSubtitle(*entry, model_.snippets(), model_.firstDates()));
    case ScanCardDelegate::kItemRole:
      return QVariant::fromValue(static_cast<const void*>(entry));
    case Qt::AccessibleTextRole:
      return ScanCard::accessibleText(
          *entry, QString::fromStdString(Library::cardSubtitle(*entry, model_.snippets(), model_.firstDates())));
    default:
      return {};
  }
}

bool LibraryModel::refresh() {
  std::vector<std::int64_t> ids;
  ids.reserve(model_.items().size());
  for (const ArchiveItem& entry : model_.items()) ids.push_back(entry.id);
  if (ids == ids_) {
    if (!ids_.empty()) emit dataChanged(index(0), index(static_cast<int>(ids_.size()) - 1));
    return false;
  }
  beginResetModel();
  ids_ = std::move(ids);
  endResetModel();
  return true;
}

// ---- LibraryGrid ----

namespace {
constexpr int kMinColumn = 172, kMaxColumn = 240, kSpacing = 16, kPadding = 20;
}

LibraryGrid::LibraryGrid(QWidget* parent) : QListView(parent) {
  setViewMode(QListView::ListMode);
  setFlow(QListView::LeftToRight);
  setWrapping(true);
  setResizeMode(QListView::Adjust);
  setMovement(QListView::Static);
  setUniformItemSizes(true);
  setSelectionMode(QAbstractItemView::NoSelection);
  setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setFrameShape(QFrame::NoFrame);
  setMouseTracking(true);
  viewport()->setAttribute(Qt::WA_Hover);
  setSpacing(0);
  verticalScrollBar()->setSingleStep(40);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setContextMenuPolicy(Qt::CustomContextMenu);
  QPalette colours = palette();
  colours.setColor(QPalette::Base, colours.color(QPalette::Window));
  setPalette(colours);
  setAutoFillBackground(false);
}

std::pair<int, int> LibraryGrid::columns(int innerWidth) {
  const int count = std::max(1, (innerWidth + kSpacing) / (kMinColumn + kSpacing));
  const int width = std::clamp((innerWidth - kSpacing * (count - 1)) / count, 1, kMaxColumn);
  return {count, width};
}

QModelIndex LibraryGrid::indexAt(const QPoint& point) const {
  const QModelIndex index = QListView::indexAt(point);
  if (!index.isValid() || !ScanCardDelegate::cardRect(visualRect(index)).contains(point)) return {};
  return index;
}

void LibraryGrid::arrange() {
  const int total = width() - 2 * frameWidth() - verticalScrollBar()->sizeHint().width();
  const auto [count, column] = columns(std::max(1, total - 2 * kPadding));
  const int cellWidth = column + kSpacing;
  const int cellHeight = ScanCard::cardHeight(font()) + kSpacing;
  const int used = count * cellWidth;
  const int left = std::max(0, (total - used) / 2);
  const int top = kPadding - kSpacing / 2;
  // One spare pixel on the right so that exactly `count` cells fit a row.
  setViewportMargins(left, top, std::max(0, total - left - used - 1), top);
  if (gridSize() != QSize(cellWidth, cellHeight)) setGridSize(QSize(cellWidth, cellHeight));
}

void LibraryGrid::resizeEvent(QResizeEvent* event) {
  arrange();
  QListView::resizeEvent(event);
}

void LibraryGrid::keyPressEvent(QKeyEvent* event) {
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentIndex().isValid()) {
    emit openRequested(currentIndex());
    return;
  }
  QListView::keyPressEvent(event);
}

// ---- LibraryView ----

namespace {

QFont scaled(const QFont& base, double factor, QFont::Weight weight = QFont::Normal) {
  QFont font = base;
  font.setPointSizeF(base.pointSizeF() * factor);
  font.setWeight(weight);
  return font;
}

QLabel* secondaryLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QPalette colours = label->palette();
  colours.setColor(QPalette::WindowText, colours.color(QPalette::PlaceholderText));
  label->setPalette(colours);
  return label;
}

QToolButton* dismissButton(const QString& name, const QString& help, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setObjectName(name);
  button->setIcon(QIcon::fromTheme("window-close-symbolic"));
  button->setAutoRaise(true);
  if (!help.isEmpty()) button->setToolTip(help);
  button->setAccessibleName(help.isEmpty() ? QStringLiteral("Dismiss") : help);
  return button;
}

// A bar on the window's material: slightly set off from the window colour.
QWidget* makeBar(const QString& name, QWidget* parent) {
  auto* bar = new QWidget(parent);
  bar->setObjectName(name);
  bar->setAutoFillBackground(true);
  QPalette colours = bar->palette();
  colours.setColor(QPalette::Window, colours.color(QPalette::AlternateBase));
  bar->setPalette(colours);
  return bar;
}

}  // namespace

LibraryView::LibraryView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  setObjectName("libraryView");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  // Notice bar.
  noticeBar_ = makeBar("noticeBar", this);
  {
    auto* row = new QHBoxLayout(noticeBar_);
    row->setContentsMargins(16, 10, 16, 10);
    noticeText_ = new QLabel(noticeBar_);
    noticeText_->setObjectName("noticeText");
    noticeText_->setWordWrap(true);
    noticeText_->setFont(scaled(font(), 0.95));
    row->addWidget(noticeText_, 1);
    openBook_ = new QPushButton("Open Book", noticeBar_);
    openBook_->setObjectName("openBookButton");
    showBook_ = new QPushButton("Show in File Manager", noticeBar_);
    showBook_->setObjectName("showBookButton");
    quitNow_ = new QPushButton("Quit Now", noticeBar_);
    quitNow_->setObjectName("quitNowButton");
    cancelRestore_ = new QPushButton("Cancel Restore", noticeBar_);
    cancelRestore_->setObjectName("cancelRestoreButton");
    for (QPushButton* button : {openBook_, showBook_, quitNow_, cancelRestore_}) row->addWidget(button);
    QToolButton* dismiss = dismissButton("dismissNoticeButton", "Dismiss", noticeBar_);
    row->addWidget(dismiss);
    connect(dismiss, &QToolButton::clicked, this, [this] { model_.setNotice(std::nullopt); });
    connect(openBook_, &QPushButton::clicked, this, [this] {
      if (model_.lastBook()) model_.desktop().openFile(*model_.lastBook());
    });
    connect(showBook_, &QPushButton::clicked, this, [this] {
      if (model_.lastBook()) model_.desktop().reveal(*model_.lastBook());
    });
    connect(quitNow_, &QPushButton::clicked, this, [this] { model_.desktop().quit(); });
    connect(cancelRestore_, &QPushButton::clicked, this, [this] {
      model_.cancelRestore();
      model_.setNotice(std::string("Restore cancelled. Nothing was changed."));
    });
  }
  layout->addWidget(noticeBar_);

  // Heading: the list's name and how many scans it holds.
  {
    auto* heading = new QWidget(this);
    auto* column = new QVBoxLayout(heading);
    column->setContentsMargins(kPadding, 14, kPadding, 0);
    column->setSpacing(1);
    title_ = new QLabel(heading);
    title_->setObjectName("libraryTitle");
    title_->setFont(scaled(font(), 1.5, QFont::DemiBold));
    subtitle_ = secondaryLabel(QString(), heading);
    subtitle_->setObjectName("librarySubtitle");
    column->addWidget(title_);
    column->addWidget(subtitle_);
    layout->addWidget(heading);
  }

  content_ = new QStackedWidget(this);
  list_ = new LibraryModel(model_, this);
  grid_ = new LibraryGrid(content_);
  grid_->setObjectName("libraryGrid");
  delegate_ = new ScanCardDelegate(grid_);
  grid_->setItemDelegate(delegate_);
  grid_->setModel(list_);
  content_->addWidget(grid_);

  empty_ = new QWidget(content_);
  empty_->setObjectName("emptyState");
  {
    auto* column = new QVBoxLayout(empty_);
    column->addStretch(1);
    emptyIcon_ = new QLabel(empty_);
    emptyIcon_->setAlignment(Qt::AlignCenter);
    emptyTitle_ = new QLabel(empty_);
    emptyTitle_->setObjectName("emptyTitle");
    emptyTitle_->setAlignment(Qt::AlignCenter);
    emptyTitle_->setFont(scaled(font(), 1.3, QFont::DemiBold));
    emptyTitle_->setWordWrap(true);
    emptyMessage_ = secondaryLabel(QString(), empty_);
    emptyMessage_->setObjectName("emptyMessage");
    emptyMessage_->setAlignment(Qt::AlignCenter);
    emptyMessage_->setWordWrap(true);
    emptyMessage_->setMaximumWidth(460);
    emptyAdd_ = new QPushButton("Add Scans", empty_);
    emptyAdd_->setObjectName("emptyAddScansButton");
    emptyAdd_->setDefault(true);
    column->addWidget(emptyIcon_);
    column->addWidget(emptyTitle_);
    // Centred between stretches, not by an alignment: an aligned item is given
    // the height of its text laid out at the column's width, not at its own.
    auto* messageRow = new QHBoxLayout();
    messageRow->addStretch(1);
    messageRow->addWidget(emptyMessage_, 100);
    messageRow->addStretch(1);
    column->addLayout(messageRow);
    column->addSpacing(8);
    column->addWidget(emptyAdd_, 0, Qt::AlignHCenter);
    column->addStretch(1);
    connect(emptyAdd_, &QPushButton::clicked, this, [this] { model_.pickAndImport(); });
  }
  content_->addWidget(empty_);
  layout->addWidget(content_, 1);

  // Undo bar.
  undoBar_ = makeBar("undoBar", this);
  {
    auto* row = new QHBoxLayout(undoBar_);
    row->setContentsMargins(16, 10, 16, 10);
    undoText_ = new QLabel(undoBar_);
    undoText_->setObjectName("undoText");
    row->addWidget(undoText_, 1);
    auto* undo = new QPushButton("Undo", undoBar_);
    undo->setObjectName("undoButton");
    row->addWidget(undo);
    QToolButton* dismiss = dismissButton("dismissUndoButton", QString(), undoBar_);
    row->addWidget(dismiss);
    connect(undo, &QPushButton::clicked, this, [this] { model_.undoRemove(); });
    connect(dismiss, &QToolButton::clicked, this, [this] { model_.clearLastRemoved(); });
  }
  layout->addWidget(undoBar_);

  makeBook_ = new QAction(QIcon::fromTheme("accessories-dictionary-symbolic"), "Make Book", this);
  makeBook_->setObjectName("makeBookAction");
  makeBook_->setToolTip("Make a printable keepsake book from the scans shown here (Ctrl+Shift+B)");
  connect(makeBook_, &QAction::triggered, this, [this] { model_.makeBook(); });
  addScans_ = new QAction(QIcon::fromTheme("list-add-symbolic"), "Add Scans", this);
  addScans_->setObjectName("addScansAction");
  addScans_->setToolTip("Add scans or folders to your archive (Ctrl+O)");
  connect(addScans_, &QAction::triggered, this, [this] { model_.pickAndImport(); });

  connect(grid_, &QListView::clicked, this, [this](const QModelIndex& index) {
    if (const ArchiveItem* entry = list_->item(index.row())) open(entry->id);
  });
  connect(grid_, &LibraryGrid::openRequested, this, [this](const QModelIndex& index) {
    if (const ArchiveItem* entry = list_->item(index.row())) open(entry->id);
  });
  connect(grid_, &QWidget::customContextMenuRequested, this, [this](const QPoint& point) {
    const ArchiveItem* entry = list_->item(grid_->indexAt(point).row());
    if (!entry) return;
    QMenu* menu = contextMenu(*entry, grid_);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(grid_->viewport()->mapToGlobal(point));
  });
  repaint_.setSingleShot(true);
  repaint_.setInterval(30);
  connect(&repaint_, &QTimer::timeout, grid_->viewport(), qOverload<>(&QWidget::update));
  connect(delegate_, &ScanCardDelegate::thumbnailArrived, this, [this] {
    if (!repaint_.isActive()) repaint_.start();
  });

  connect(&model_, &AppModel::listsChanged, this, &LibraryView::listsChanged);
  connect(&model_, &AppModel::searchTextChanged, this, &LibraryView::updateHeading);
  connect(&model_, &AppModel::filterChanged, this, &LibraryView::updateHeading);
  connect(&model_, &AppModel::noticeChanged, this, &LibraryView::updateNotice);
  connect(&model_, &AppModel::lastBookChanged, this, &LibraryView::updateNotice);
  connect(&model_, &AppModel::restoreStagedChanged, this, &LibraryView::updateNotice);
  connect(&model_, &AppModel::lastRemovedChanged, this, &LibraryView::updateUndo);
  listsChanged();
  updateNotice();
  updateUndo();
}

void LibraryView::listsChanged() {
  const std::string key = model_.title() + '\x1f' + model_.searchText();
  const int scrolled = grid_->verticalScrollBar()->value();
  const bool reset = list_->refresh();
  if (reset && key == shownKey_ && scrolled > 0) {
    // The same list reloaded (a reading finished, an item changed): stay where the person was.
    grid_->doItemsLayout();
    grid_->verticalScrollBar()->setValue(scrolled);
  }
  shownKey_ = key;
  // A file that could not be read before may be readable now.
  ThumbnailCache::shared().forgetFailures();
  updateHeading();
}

void LibraryView::updateHeading() {
  const std::size_t count = model_.items().size();
  title_->setText(QString::fromStdString(model_.title()));
  subtitle_->setText(QString::fromStdString(Library::countText(count)));
  makeBook_->setEnabled(count > 0);
  if (count > 0) {
    content_->setCurrentWidget(grid_);
    return;
  }
  const Library::EmptyState state = Library::emptyState(model_.searchText(), model_.stats().items);
  emptyTitle_->setText(QString::fromStdString(Library::emptyTitle(state, model_.searchText())));
  emptyMessage_->setText(QString::fromStdString(Library::emptyMessage(state)));
  const char* icon = state == Library::EmptyState::noSearchResults ? "system-search-symbolic"
                     : state == Library::EmptyState::nothingHere ? "view-grid-symbolic"
                                                                 : "folder-download-symbolic";
  emptyIcon_->setPixmap(QIcon::fromTheme(icon).pixmap(48, 48));
  emptyAdd_->setVisible(state == Library::EmptyState::firstRun);
  content_->setCurrentWidget(empty_);
}

void LibraryView::updateNotice() {
  const std::optional<std::string>& notice = model_.notice();
  noticeBar_->setVisible(notice.has_value());
  if (!notice) return;
  noticeText_->setText(QString::fromStdString(*notice));
  const Library::NoticeGroups groups = Library::noticeGroups(*notice, model_.lastBook(), model_.restoreStaged());
  openBook_->setVisible(groups.book);
  showBook_->setVisible(groups.book);
  quitNow_->setVisible(groups.restore);
  cancelRestore_->setVisible(groups.restore);
}

void LibraryView::updateUndo() {
  const std::size_t removed = model_.lastRemoved().size();
  undoBar_->setVisible(removed > 0);
  if (removed > 0) undoText_->setText(QString::fromStdString(Library::undoText(removed)));
}

void LibraryView::open(std::int64_t id) {
  std::vector<std::int64_t> path = model_.path();
  path.push_back(id);
  model_.setPath(path);
}

void LibraryView::readHandwriting(std::int64_t id) {
  if (model_.readerInstalled()) {
    model_.readHandwriting({id});
    return;
  }
  offerDownloadFor_ = std::vector<std::int64_t>{id};
  ReaderDownloadOffer::present(model_, offerDownloadFor_);
}

QMenu* LibraryView::contextMenu(const ArchiveItem& item, QWidget* parent) {
  auto* menu = new QMenu(parent);
  menu->setObjectName("cardMenu");
  const ArchiveItem copy = item;
  menu->addAction("Open", this, [this, id = copy.id] { open(id); });
  menu->addAction(copy.favorite ? "Remove from Favorites" : "Add to Favorites", this,
                  [this, copy] { model_.toggleFavorite(copy); });
  menu->addAction("Show in File Manager", this, [this, path = copy.path] { model_.desktop().reveal(path); });
  // Queued so that the offer's dialog comes up after the menu has closed.
  menu->addAction("Read Handwriting", this,
                  [this, id = copy.id] { QTimer::singleShot(0, this, [this, id] { readHandwriting(id); }); });
  menu->addAction("Save as Searchable PDF\u2026", this,
                  [this, copy] { QTimer::singleShot(0, this, [this, copy] { model_.exportPdf(copy); }); });
  menu->addSeparator();
  QAction* remove = menu->addAction("Remove from Library", this, [this, id = copy.id] { model_.remove({id}); });
  remove->setIcon(QIcon::fromTheme("edit-delete-symbolic"));
  return menu;
}

}  // namespace quorvel::app
