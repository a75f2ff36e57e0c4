// The settings window: its rules as tables, each tab's wiring to the model,
// and the reader installed from a local manifest, paused and resumed from the
// handwriting tab.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/app_model.h"
#include "app/panel_style.h"
#include "app/settings_view.h"
#include "app_test_support.h"
#include "core/backup_service.h"
#include "core/folder_watcher.h"
#include "core/handwriting_engine.h"
#include "core/model_delivery.h"
#include "core/paths.h"
#include "http_test_server.h"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;
using app::AppModel;
using app::SettingsView;
using State = SettingsView::ReaderState;

// ---- Pure rules ----

TEST(SettingsRulesTest, ReaderStateAndTexts) {
  EXPECT_EQ(SettingsView::readerState(true, true), State::installed);
  EXPECT_EQ(SettingsView::readerState(true, false), State::installed);
  EXPECT_EQ(SettingsView::readerState(false, true), State::downloading);
  EXPECT_EQ(SettingsView::readerState(false, false), State::notInstalled);

  struct Case {
    std::int64_t eta;
    std::string text;
  };
  for (const Case& c : std::vector<Case>{{0, "Model 1 of 3"},
                                         {-4, "Model 1 of 3"},
                                         {1, "Model 1 of 3 · 1 s left"},
                                         {125, "Model 1 of 3 · 2 min left"}}) {
    DownloadProgress progress;
    progress.message = "Model 1 of 3";
    progress.etaSeconds = c.eta;
    EXPECT_EQ(SettingsView::progressText(progress), c.text) << c.eta;
  }
  const std::string size = ModelDownloader::gb(ManifestClient::builtIn().totalBytes());
  EXPECT_EQ(SettingsView::readerStatusText(true), "Download paused");
  EXPECT_EQ(SettingsView::readerStatusText(false), "Not installed");
  EXPECT_EQ(SettingsView::downloadButtonTitle(true), "Resume Download");
  EXPECT_EQ(SettingsView::downloadButtonTitle(false), "Download (" + size + ")");
  EXPECT_EQ(SettingsView::removeNote(),
            "Removing it frees about " + size + ". Text it has already read stays in your archive.");
  EXPECT_EQ(SettingsView::countText(1200), "1200");
  EXPECT_EQ(SettingsView::countText(0), "0");
}

TEST(SettingsRulesTest, ReaderMissingNoteOnlyWhenTheDownloadHasNoServer) {
  const std::string sentence =
      "There's no handwriting reader for this kind of computer yet. To get one, run "
      "scripts/install-reader.sh from Quorvel Ink's source folder, or install llama.cpp from your "
      "distribution, so that llama-server is on PATH.";
  struct Case {
    bool canGetServer;
    std::optional<std::string> error;
    std::optional<std::string> want;
  };
  const std::vector<Case> cases = {
      {true, std::nullopt, std::nullopt},
      {false, std::nullopt, sentence},
      {false, "Couldn't download the language model: The server answered 404.", sentence},
      {false, sentence, std::nullopt},  // the failure line says it already
  };
  for (const Case& c : cases)
    EXPECT_EQ(SettingsView::readerMissingText(c.canGetServer, c.error), c.want)
        << c.canGetServer << " " << c.error.value_or("-");
}

TEST(SettingsRulesTest, LastAutomaticBackup) {
  const QLocale us(QLocale::English, QLocale::UnitedStates);
  EXPECT_EQ(SettingsView::lastBackupText({}, us), "None yet");
  BackupInfo newest;
  newest.created = QDateTime(QDate(2026, 3, 9), QTime(14, 5)).toMSecsSinceEpoch() * 1000;
  BackupInfo older;
  older.created = QDateTime(QDate(2025, 1, 2), QTime(9, 0)).toMSecsSinceEpoch() * 1000;
  // The space before "PM" differs between locale data versions.
  const std::string american = SettingsView::lastBackupText({newest, older}, us);
  EXPECT_EQ(american.rfind("Mar 9, 2026, 2:05", 0), 0u) << american;
  EXPECT_EQ(american.substr(american.size() - 2), "PM") << american;
  const QLocale german(QLocale::German, QLocale::Germany);
  EXPECT_EQ(SettingsView::lastBackupText({newest}, german), "9. März 2026, 14:05");
}

// ---- The window ----

class Settings : public ::testing::Test {
 protected:
  template <class T>
  T* child(const char* name) {
    T* found = view->findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  QString text(const char* name) { return child<QLabel>(name)->text(); }
  void open(AppModel& model) {
    view = std::make_unique<SettingsView>(model);
    view->show();
  }

  ModelFixture f;
  std::unique_ptr<SettingsView> view;
};

TEST_F(Settings, ArchiveTabCountsFolderAndIndex) {
  AppModel& model = f.make();
  TempDir scans;
  writeScan(scans.file("a.png"), 61);
  writeScan(scans.file("b.png"), 62);
  model.importPaths({scans.path()});
  ASSERT_TRUE(waitUntil([&] { return model.stats().transcribed == 2; }));
  open(model);
  EXPECT_EQ(view->size(), QSize(560, 520));
  EXPECT_TRUE(view->isWindow());
  const int reloads = model.reloadsStarted();
  view->hide();
  view->show();  // every showing reloads
  EXPECT_GT(model.reloadsStarted(), reloads);
  f.reloadAndWait();
  EXPECT_EQ(text("scansCount"), "2");
  EXPECT_EQ(text("withTextCount"), "2");
  EXPECT_EQ(text("peopleCount"), "0");
  EXPECT_EQ(text("printedReader"), "Tesseract · automatic");
  EXPECT_EQ(text("dataFolder").toStdString(), QuorvelPaths::dataRoot());

  child<QPushButton>("showDataFolder")->click();
  EXPECT_EQ(f.desktop.folders, std::vector<std::string>{QuorvelPaths::dataRoot()});
  EXPECT_TRUE(f.desktop.revealed.empty());

  auto* rebuild = child<QPushButton>("rebuildIndex");
  EXPECT_FALSE(child<QLabel>("rebuildingIndex")->isVisible());
  rebuild->click();
  EXPECT_TRUE(model.rebuildingIndex());
  EXPECT_FALSE(rebuild->isEnabled());
  EXPECT_TRUE(child<QLabel>("rebuildingIndex")->isVisible());
  ASSERT_TRUE(waitUntil([&] { return !model.rebuildingIndex(); }));
  EXPECT_TRUE(rebuild->isEnabled());
  EXPECT_FALSE(child<QLabel>("rebuildingIndex")->isVisible());

  f.panels.saveAnswers.push_back(std::nullopt);
  child<QPushButton>("exportGedcom")->click();
  ASSERT_EQ(f.panels.saveRequests.size(), 1u);
  EXPECT_EQ(f.panels.saveRequests[0].second, "Quorvel Ink.ged");
}

TEST_F(Settings, TheTabIsTheModelsBothWays) {
  AppModel& model = f.make();
  open(model);
  auto* tabs = child<QTabWidget>("settingsTabs");
  EXPECT_EQ(tabs->count(), 4);
  EXPECT_EQ(tabs->tabText(0), "Archive");
  EXPECT_EQ(tabs->tabText(3), "Backup");
  EXPECT_EQ(tabs->currentIndex(), 0);
  model.setSettingsTab(2);
  EXPECT_EQ(tabs->currentIndex(), 2);
  tabs->setCurrentIndex(3);
  EXPECT_EQ(model.settingsTab(), 3);
  // A window opened again shows the tab last chosen.
  view.reset();
  open(model);
  EXPECT_EQ(child<QTabWidget>("settingsTabs")->currentIndex(), 3);
}

TEST_F(Settings, HandwritingTabFollowsTheReaderState) {
  setenv("QUORVEL_MANIFEST_URL", "https://127.0.0.1:1/manifest.json", 1);
  AppModel& model = f.make();
  open(model);
  child<QTabWidget>("settingsTabs")->setCurrentIndex(1);
  EXPECT_EQ(text("readerStatus"), "Not installed");
  EXPECT_EQ(child<QPushButton>("startDownload")->text().toStdString(), SettingsView::downloadButtonTitle(false));
  EXPECT_FALSE(child<QLabel>("downloadError")->isVisible());
  EXPECT_FALSE(child<QPushButton>("pauseDownload")->isVisible());

  // A failed download: its error in red, only in the not-installed rows.
  child<QPushButton>("startDownload")->click();
  EXPECT_TRUE(child<QProgressBar>("downloadProgress")->isVisible());
  EXPECT_TRUE(child<QPushButton>("pauseDownload")->isVisible());
  EXPECT_FALSE(child<QLabel>("readerStatus")->isVisible());
  ASSERT_TRUE(waitUntil([&] { return !model.downloadRunning(); }, 60000));
  ASSERT_TRUE(model.downloadError());
  EXPECT_TRUE(child<QLabel>("downloadError")->isVisible());
  EXPECT_EQ(text("downloadError").toStdString(), *model.downloadError());
  EXPECT_EQ(child<QLabel>("downloadError")->palette().color(QPalette::WindowText), app::PanelStyle::red());

  child<QPushButton>("licenseLink")->click();
  EXPECT_EQ(f.desktop.urls, std::vector<std::string>{SettingsView::licenseUrl()});
  unsetenv("QUORVEL_MANIFEST_URL");
}

TEST_F(Settings, HandwritingTabSaysWhenNoServerCanBeHad) {
  TempDir without, with;
  const std::string server = with.file("llama-server");
  std::filesystem::copy_file(QUORVEL_TOOLS_DIR "/fake-llama-server", server);
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", without.path().c_str(), 1);
  unsetenv("QUORVEL_MANIFEST_URL");
  AppModel& model = f.make();
  open(model);
  child<QTabWidget>("settingsTabs")->setCurrentIndex(1);
  EXPECT_TRUE(child<QLabel>("readerMissing")->isVisible());
  EXPECT_EQ(text("readerMissing").toStdString(), ModelDownloader::noServerSentence());
  // With llama-server on PATH the download can use it: no note when drawn again.
  setenv("PATH", with.path().c_str(), 1);
  view.reset();
  open(model);
  child<QTabWidget>("settingsTabs")->setCurrentIndex(1);
  EXPECT_FALSE(child<QLabel>("readerMissing")->isVisible());
  setenv("PATH", path.c_str(), 1);
}

TEST_F(Settings, HandwritingTabPausedAndInstalled) {
  {
    QuorvelPaths::ensureCreated();
    writeFile(QuorvelPaths::modelDir() + "/pack/model.gguf.partial", "half");
    writeFile(AppModel::pauseMarkerPath(), "");
    AppModel& model = f.make();
    open(model);
    EXPECT_EQ(text("readerStatus"), "Download paused");
    EXPECT_EQ(child<QPushButton>("startDownload")->text(), "Resume Download");
    view.reset();
    f.model.reset();
  }
  installStandInReader("{}");
  AppModel& model = f.make();
  ASSERT_TRUE(model.readerInstalled());
  open(model);
  child<QTabWidget>("settingsTabs")->setCurrentIndex(1);
  EXPECT_TRUE(child<QLabel>("readerInstalledStatus")->isVisible());
  EXPECT_EQ(text("readerInstalledStatus"), "Installed");
  EXPECT_EQ(text("engineStatus").toStdString(), model.handwriting().status());
  EXPECT_FALSE(child<QLabel>("readerStatus")->isVisible());
  // Removing acts at once and the tab turns to the not-installed rows.
  child<QPushButton>("removeReader")->click();
  ASSERT_TRUE(waitUntil([&] { return !model.readerInstalled(); }, 20000));
  EXPECT_TRUE(child<QLabel>("readerStatus")->isVisible());
  EXPECT_FALSE(child<QLabel>("readerInstalledStatus")->isVisible());
}

TEST_F(Settings, FoldersTabAddsSwitchesAndRemoves) {
  AppModel& model = f.make();
  open(model);
  child<QTabWidget>("settingsTabs")->setCurrentIndex(2);
  EXPECT_TRUE(child<QLabel>("noFolders")->isVisible());
  TempDir one, two;
  f.panels.openAnswers.push_back({one.path(), two.path()});
  child<QPushButton>("addFolder")->click();
  pump(20);
  EXPECT_FALSE(child<QLabel>("noFolders")->isVisible());
  QList<QWidget*> rows = view->findChildren<QWidget*>("folderRow");
  rows.removeIf([](QWidget* row) { return !row->isVisible(); });
  ASSERT_EQ(rows.size(), 2);
  auto* path = rows[0]->findChild<app::PanelStyle::ClampedText*>("folderPath");
  EXPECT_EQ(path->text().toStdString(), one.path());

  auto* watching = child<QCheckBox>("watchingEnabled");
  const bool was = model.watch().enabled;
  EXPECT_EQ(watching->isChecked(), was);
  watching->click();
  EXPECT_EQ(model.watch().enabled, !was);
  const WatchSettings stored = WatchSettings::load();
  EXPECT_EQ(stored.enabled, !was);
  EXPECT_EQ(stored.folders, (std::vector<std::string>{one.path(), two.path()}));

  auto* remove = rows[0]->findChild<QToolButton*>("removeFolder");
  EXPECT_EQ(remove->toolTip(), "Stop watching this folder. Scans already added stay.");
  remove->click();
  EXPECT_EQ(model.watch().folders, std::vector<std::string>{two.path()});
  pump(20);
  rows = view->findChildren<QWidget*>("folderRow");
  rows.removeIf([](QWidget* row) { return !row->isVisible(); });
  EXPECT_EQ(rows.size(), 1);
}

TEST_F(Settings, BackupTabBacksUpStagesAndCancelsARestore) {
  AppModel& model = f.make();
  TempDir scans;
  writeScan(scans.file("a.png"), 63);
  model.importPaths({scans.path()});
  ASSERT_TRUE(waitUntil([&] { return model.stats().transcribed == 1; }));
  open(model);
  child<QTabWidget>("settingsTabs")->setCurrentIndex(3);
  EXPECT_EQ(text("lastAutomaticBackup"), "None yet");
  EXPECT_FALSE(child<QWidget>("restoreWaiting")->isVisible());

  TempDir out;
  const std::string file = out.file("archive." + std::string(BackupService::fileExtension));
  f.panels.saveAnswers.push_back(file);
  child<QPushButton>("backUpNow")->click();
  ASSERT_TRUE(waitUntil([&] { return model.notice() && model.notice()->rfind("Backup saved", 0) == 0; }));
  EXPECT_TRUE(child<QLabel>("backupNotice")->isVisible());
  EXPECT_EQ(text("backupNotice").toStdString(), *model.notice());

  f.panels.openAnswers.push_back({file});
  child<QPushButton>("restoreFromBackup")->click();
  ASSERT_TRUE(waitUntil([&] { return model.restoreStaged(); })) << model.notice().value_or("");
  EXPECT_TRUE(child<QWidget>("restoreWaiting")->isVisible());
  child<QPushButton>("cancelRestore")->click();
  EXPECT_FALSE(model.restoreStaged());
  EXPECT_FALSE(child<QWidget>("restoreWaiting")->isVisible());
  EXPECT_EQ(model.notice(), "Restore cancelled. Nothing was changed.");
  EXPECT_EQ(text("backupNotice"), "Restore cancelled. Nothing was changed.");

  // An automatic backup shows its time once the tab is drawn again.
  ASSERT_TRUE(BackupService::autoBackupIfDue(model.catalog(), AppModel::version()));
  child<QTabWidget>("settingsTabs")->setCurrentIndex(0);
  child<QTabWidget>("settingsTabs")->setCurrentIndex(3);
  EXPECT_NE(text("lastAutomaticBackup"), "None yet");

  fs::remove_all(QuorvelPaths::backupDir());
  child<QPushButton>("showBackups")->click();
  EXPECT_TRUE(fs::is_directory(QuorvelPaths::backupDir()));
  EXPECT_EQ(f.desktop.folders.back(), QuorvelPaths::backupDir());
}

// ---- The reader from a local manifest ----

TEST(SettingsReaderTest, InstallsPausesAndResumesFromTheHandwritingTab) {
  // The projector stalls on its first request, so the download can be paused halfway.
  LocalReader reader({"fine"}, true);

  {
    ModelFixture f;
    AppModel& app = f.make();
    SettingsView view(app);
    view.show();
    auto* tabs = view.findChild<QTabWidget*>("settingsTabs");
    tabs->setCurrentIndex(1);
    view.findChild<QPushButton*>("startDownload")->click();
    ASSERT_TRUE(waitUntil([&] { return ModelDownloader::partialBytes() >= 500; }, 60000));
    EXPECT_TRUE(view.findChild<QProgressBar*>("downloadProgress")->isVisible());
    view.findChild<QPushButton*>("pauseDownload")->click();
    ASSERT_TRUE(waitUntil([&] { return !app.downloadRunning(); }, 20000));
    EXPECT_TRUE(app.downloadPaused());
    EXPECT_EQ(view.findChild<QLabel*>("readerStatus")->text(), "Download paused");
    auto* resume = view.findChild<QPushButton*>("startDownload");
    EXPECT_EQ(resume->text(), "Resume Download");
    resume->click();
    ASSERT_TRUE(waitUntil([&] { return !app.downloadRunning(); }, 60000));
    ASSERT_FALSE(app.downloadError()) << *app.downloadError();
    EXPECT_TRUE(app.readerInstalled());
    EXPECT_TRUE(view.findChild<QLabel*>("readerInstalledStatus")->isVisible());
    // The second projector request resumed where the first stopped.
    const std::vector<RecordedRequest> requests = reader.secure().requests("/mmproj.gguf");
    ASSERT_GE(requests.size(), 2u);
    EXPECT_TRUE(requests.back().header("range").has_value());
  }
}

}  // namespace
}  // namespace quorvel::testing
