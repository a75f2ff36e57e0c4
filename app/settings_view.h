#pragma once
// The settings window: one, not modal, with the archive, the handwriting
// reader, the watched folders and the backups on four tabs. The selected tab
// is the model's settingsTab both ways. It keeps no settings of its own:
// every control acts at once through the model, and every value shown is the
// model's published state or read afresh when the window or tab is shown.
// GUI thread only.
#include <optional>
#include <string>
#include <vector>

#include <QLocale>
#include <QWidget>

#include "core/backup_service.h"
#include "core/model_delivery.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QVBoxLayout;

namespace quorvel::app {

class AppModel;

class SettingsView : public QWidget {
  Q_OBJECT

 public:
  explicit SettingsView(AppModel& model, QWidget* parent = nullptr);

  // What the handwriting tab shows first: installed wins over a download
  // being held, which wins over not installed.
  enum class ReaderState { installed, downloading, notInstalled };
  static ReaderState readerState(bool installed, bool hasProgress);
  // The progress message, with " · <duration> left" when the time left is 1 s or more.
  static std::string progressText(const DownloadProgress& progress);
  // "Download paused" or "Not installed".
  static std::string readerStatusText(bool paused);
  // "Resume Download" or "Download (<built-in size>)".
  static std::string downloadButtonTitle(bool paused);
  // Above the download button when the download has no server to get for
  // this computer: that sentence with how to get one; none when it has one,
  // or when the download's failure already says it.
  static std::optional<std::string> readerMissingText(bool canGetServer,
                                                      const std::optional<std::string>& error);
  // The note under the removal button, with the built-in size.
  static std::string removeNote();
  // The newest automatic backup's time (abbreviated date, short time of the
  // locale), or "None yet"; `backups` newest first.
  static std::string lastBackupText(const std::vector<BackupInfo>& backups, const QLocale& locale);
  // The count in plain decimal digits, without grouping.
  static std::string countText(long long count);
  // The model licence's page.
  static std::string licenseUrl();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* archiveTab();
  QWidget* handwritingTab();
  QWidget* foldersTab();
  QWidget* backupTab();

  void updateCounts();
  void updateRebuild();
  void updateReader();
  void updateFolders();
  void updateBackup();
  void updateNotice();

  AppModel& model_;
  QTabWidget* tabs_ = nullptr;

  // Archive.
  QLabel* scans_ = nullptr;
  QLabel* withText_ = nullptr;
  QLabel* people_ = nullptr;
  QLabel* dates_ = nullptr;
  QLabel* keptIn_ = nullptr;
  QPushButton* rebuild_ = nullptr;
  QLabel* rebuilding_ = nullptr;

  // Handwriting.
  QWidget* installed_ = nullptr;
  QLabel* engineStatus_ = nullptr;
  QWidget* downloading_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* progressText_ = nullptr;
  QWidget* notInstalled_ = nullptr;
  QLabel* readerStatus_ = nullptr;
  QPushButton* download_ = nullptr;
  QLabel* readerMissing_ = nullptr;
  QLabel* downloadError_ = nullptr;

  // Folders.
  QCheckBox* watching_ = nullptr;
  QLabel* noFolders_ = nullptr;
  QVBoxLayout* folderRows_ = nullptr;

  // Backup.
  QWidget* restoreWaiting_ = nullptr;
  QLabel* notice_ = nullptr;
  QLabel* lastBackup_ = nullptr;
};

}  // namespace quorvel::app
