#pragma once
// The left column of the main window: the list that chooses what the library
// shows (the whole archive, a kind, the favourites, what needs review, a
// person, a year) and, pinned below it, the footer with the background work
// (adding scans, the reader download, handwriting readings) and the privacy
// line. Everything it shows is state of the application model. GUI thread only.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QWidget>

#include "app/app_model.h"

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace quorvel::app {

namespace Sidebar {

struct Row {
  LibraryFilter filter;
  std::string text;
  std::string icon;  // freedesktop icon name
  int badge = 0;     // 0: no badge
  bool operator==(const Row&) const = default;
};
struct Section {
  std::string title;
  std::vector<Row> rows;
  bool operator==(const Section&) const = default;
};

// "Library" always; "People" and "Years" only when they have rows.
std::vector<Section> sections(const CatalogStats& stats, const std::vector<Person>& people,
                              const std::vector<std::pair<int, int>>& years);
// The download's detail line: the message, and " · <time> left" from one second up.
std::string downloadDetail(const DownloadProgress& progress);
// "Reading handwriting", with " · n more waiting" while items wait.
std::string readingTitle(const QueueState& queue);
// The current reading's message, "Getting ready…" before the first report.
std::string readingDetail(const QueueState& queue);
// The reading's fraction when its progress has a total, else none (indeterminate).
std::optional<double> readingFraction(const QueueState& queue);
// What stays in the footer once the queue is idle: its last message unless it is "Stopped".
std::optional<std::string> idleMessage(const QueueState& queue);
// "Everything stays on this computer."
std::string privacyLine();

}  // namespace Sidebar

class SidebarView : public QWidget {
  Q_OBJECT

 public:
  explicit SidebarView(AppModel& model, QWidget* parent = nullptr);
  QListWidget* list() const { return list_; }

 private:
  void rebuild();
  void selectCurrent();
  void updateFooter();

  AppModel& model_;
  QListWidget* list_;
  std::vector<Sidebar::Section> shown_;
  std::vector<LibraryFilter> filters_;  // by row of list_; the sections' own rows hold none

  QWidget* importBlock_;
  QProgressBar* importProgress_;
  QLabel* importMessage_;
  QWidget* downloadBlock_;
  QProgressBar* downloadProgress_;
  QLabel* downloadDetail_;
  QWidget* downloadErrorBlock_;
  QLabel* downloadError_;
  QWidget* readingBlock_;
  QProgressBar* readingProgress_;
  QLabel* readingTitle_;
  QLabel* readingDetail_;
  QLabel* lastMessage_;
};

}  // namespace quorvel::app
