#pragma once
// The main window: the sidebar, the library or the page of one scan (driven
// by the model's path), the question panel on the right (driven by showAsk),
// the search field and the "Ask" button in the toolbar, the menus, the
// start-up alert, the keepsake sheet and the one settings window. Local
// files and folders dropped anywhere on the window are added to the archive.
// GUI thread only.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QMainWindow>
#include <QPointer>
#include <QUrl>

#include "app/ask_view.h"
#include "app/detail_view.h"
#include "app/keepsake_view.h"

class QAction;
class QLineEdit;
class QMessageBox;
class QMimeData;
class QSplitter;
class QStackedWidget;

namespace quorvel::app {

class AppModel;
class LibraryView;
class SettingsView;
class SidebarView;

// Makes sure the freedesktop icon themes are found (some platforms, such as
// the offscreen one, search none) and that Adwaita fills in for a missing
// theme or for icons the desktop's theme lacks, so the window looks the same
// everywhere. Call once after the QApplication exists.
void setUpIcons();

// The local paths a drag carries, in its order; remote addresses and
// non-file data give nothing, so such a drag is not accepted.
std::vector<std::string> droppedPaths(const QMimeData* data);

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(AppModel& model, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Shows the settings window, made on first use.
  void openSettings();
  SettingsView* settingsWindow() const { return settings_; }
  LibraryView* library() const { return library_; }
  SidebarView* sidebar() const { return sidebar_; }
  // The page of the open scan, or nothing while the library shows.
  DetailView* detail() const { return detail_; }
  AskPanel* askPanel() const { return ask_; }
  KeepsakeView* keepsakeSheet() const { return book_; }
  bool dropOverlayShown() const;
  // Stores the open scan page's unsaved edits (before quitting).
  void saveOpenPage();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void buildMenus();
  void buildToolbar();
  void followPath();
  void followAsk();
  void followBook();
  void followStartupError();
  void followSearchText();
  void showOverlay(bool shown);

  AppModel& model_;
  SidebarView* sidebar_;
  QStackedWidget* pages_;
  LibraryView* library_;
  QPointer<DetailView> detail_;
  QWidget* askColumn_;
  QPointer<AskPanel> ask_;
  QSplitter* split_;
  QLineEdit* search_;
  QAction* askButton_;
  QAction* back_;
  QAction* undoRemove_;
  QWidget* overlay_;
  QPointer<QMessageBox> alert_;
  QPointer<KeepsakeView> book_;
  SettingsView* settings_ = nullptr;  // top-level, made once
  bool shownOnce_ = false;
  std::vector<QAction*> libraryActions_;
};

}  // namespace quorvel::app
