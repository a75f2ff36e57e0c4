#pragma once
// The library: the current list of the application model as a grid of scan
// cards, its heading, the empty states, the notice bar at the top and the undo
// bar at the bottom. The grid is a QListView over LibraryModel with a painted
// delegate, so that lists of 100,000 scans scroll without a widget per item.
// Holds no archive state of its own. GUI thread only.
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <QAbstractListModel>
#include <QListView>
#include <QTimer>
#include <QWidget>

#include "core/models.h"

class QAction;
class QLabel;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace quorvel::app {

class AppModel;
class ScanCardDelegate;

namespace Library {

// "1 scan", "n scans"; empty for no scans.
std::string countText(std::size_t count);
// The line under a card's title: the search snippet (line feeds as spaces,
// hit marks kept) when there is a non-empty one, else the earliest date in
// words, else the kind's word.
std::string cardSubtitle(const ArchiveItem& item, const std::unordered_map<std::int64_t, std::string>& snippets,
                         const std::unordered_map<std::int64_t, std::string>& firstDates);

// Why the list is empty: a search found nothing, the filter matches nothing
// in a non-empty archive, or the archive is empty (first run). Only spaces and
// tabs count as blank in the search text.
enum class EmptyState { noSearchResults, nothingHere, firstRun };
EmptyState emptyState(const std::string& searchText, int archiveItems);

// Which button groups the notice bar shows beside the notice.
struct NoticeGroups {
  bool book = false;     // "Open Book", "Show in File Manager"
  bool restore = false;  // "Quit Now", "Cancel Restore"
  bool operator==(const NoticeGroups&) const = default;
};
// The book group shows when the notice begins with "Saved " and the last
// book's file name; the restore group while a restore is staged.
NoticeGroups noticeGroups(const std::string& notice, const std::optional<std::string>& lastBook,
                          bool restoreStaged);

// The undo bar's sentence for n removed scans.
std::string undoText(std::size_t removed);

// The headline and message of each empty state.
std::string emptyTitle(EmptyState state, const std::string& searchText);
std::string emptyMessage(EmptyState state);

}  // namespace Library

// The rows of the grid: one per item of the model's list, identified by id.
// Qt::DisplayRole is the card's subtitle, ScanCardDelegate::kItemRole a
// pointer to the item (valid until the next change of the list).
class LibraryModel : public QAbstractListModel {
  Q_OBJECT

 public:
  explicit LibraryModel(AppModel& model, QObject* parent = nullptr);
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  // The item of the row, or nothing for a row out of range.
  const ArchiveItem* item(int row) const;
  // Follows the model's list: the same ids in the same order only repaint;
  // anything else resets the rows. True when the rows were reset.
  bool refresh();

 private:
  AppModel& model_;
  std::vector<std::int64_t> ids_;
};

// The grid: as many columns of 172 to 240 pixels as the width allows, 16
// apart, centred, 20 pixels of padding, cards of one height.
class LibraryGrid : public QListView {
  Q_OBJECT

 public:
  explicit LibraryGrid(QWidget* parent = nullptr);
  // The column count and width for an inner width (the width less padding).
  static std::pair<int, int> columns(int innerWidth);
  // The card under the point; nothing in the margin around a card, so that
  // only the card itself opens and lights up.
  QModelIndex indexAt(const QPoint& point) const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 signals:
  void openRequested(const QModelIndex& index);

 private:
  void arrange();
};

class LibraryView : public QWidget {
  Q_OBJECT

 public:
  explicit LibraryView(AppModel& model, QWidget* parent = nullptr);

  // "Make Book" and "Add Scans", for the window's toolbar.
  QAction* makeBookAction() const { return makeBook_; }
  QAction* addScansAction() const { return addScans_; }
  LibraryGrid* grid() const { return grid_; }
  LibraryModel* listModel() const { return list_; }
  // The context menu of the item's card (the caller owns and shows it).
  class QMenu* contextMenu(const ArchiveItem& item, QWidget* parent);

 private:
  void listsChanged();
  void updateHeading();
  void updateNotice();
  void updateUndo();
  void open(std::int64_t id);
  void readHandwriting(std::int64_t id);

  AppModel& model_;
  LibraryModel* list_;
  LibraryGrid* grid_;
  ScanCardDelegate* delegate_;
  QTimer repaint_;  // coalesces thumbnail arrivals into one repaint
  QAction* makeBook_;
  QAction* addScans_;
  QLabel* title_;
  QLabel* subtitle_;
  QStackedWidget* content_;
  QWidget* empty_;
  QLabel* emptyIcon_;
  QLabel* emptyTitle_;
  QLabel* emptyMessage_;
  QPushButton* emptyAdd_;
  QWidget* noticeBar_;
  QLabel* noticeText_;
  QPushButton* openBook_;
  QPushButton* showBook_;
  QPushButton* quitNow_;
  QPushButton* cancelRestore_;
  QWidget* undoBar_;
  QLabel* undoText_;
  // The items to read once the reader is installed, while the offer is up.
  std::optional<std::vector<std::int64_t>> offerDownloadFor_;
  // What the grid last showed, to keep its scroll position across reloads of the same list.
  std::string shownKey_;
};

}  // namespace quorvel::app
