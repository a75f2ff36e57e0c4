#include "app/settings_view.h"

#include <QCheckBox>
#include <QDateTime>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <filesystem>

#include "app/app_model.h"
#include "app/components.h"
#include "app/panel_style.h"
#include "app/reader_download_offer.h"
#include "app/sidebar.h"
#include "core/handwriting_engine.h"
#include "core/paths.h"

namespace quorvel::app {

using PanelStyle::Text;

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

// A tab's page: sections stacked in a scroll area.
struct Page {
  QScrollArea* scroll;
  QVBoxLayout* sections;
};

Page makePage(QWidget* parent) {
  auto* scroll = new QScrollArea(parent);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* content = new QWidget(scroll);
  auto* sections = new QVBoxLayout(content);
  sections->setContentsMargins(16, 14, 16, 14);
  sections->setSpacing(14);
  scroll->setWidget(content);
  return {scroll, sections};
}

QVBoxLayout* section(Page& page, const QString& header) {
  auto* box = new QGroupBox(header, page.scroll->widget());
  auto* rows = new QVBoxLayout(box);
  rows->setSpacing(8);
  page.sections->addWidget(box);
  return rows;
}

// A row of a label and a value at the trailing edge.
QLabel* valueRow(QVBoxLayout* rows, const QString& label, const QString& value, const char* name) {
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(label, rows->parentWidget()));
  row->addStretch(1);
  auto* valueLabel = new QLabel(value, rows->parentWidget());
  valueLabel->setObjectName(name);
  valueLabel->setTextFormat(Qt::PlainText);
  PanelStyle::setTextColor(valueLabel, PanelStyle::secondary());
  row->addWidget(valueLabel);
  rows->addLayout(row);
  return valueLabel;
}

QPushButton* button(QWidget* parent, const QString& text, const char* name, bool small = false) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(name);
  b->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
  if (small) b->setFont(PanelStyle::font(Text::caption));
  return b;
}

QLabel* namedCaption(const QString& text, QWidget* parent, const char* name) {
  QLabel* label = PanelStyle::caption(text, parent);
  label->setObjectName(name);
  return label;
}

}  // namespace

// ---- Pure rules ----

SettingsView::ReaderState SettingsView::readerState(bool installed, bool hasProgress) {
  if (installed) return ReaderState::installed;
  if (hasProgress) return ReaderState::downloading;
  return ReaderState::notInstalled;
}

std::string SettingsView::progressText(const DownloadProgress& progress) {
  return Sidebar::downloadDetail(progress);
}

std::string SettingsView::readerStatusText(bool paused) {
  return paused ? "Download paused" : "Not installed";
}

std::string SettingsView::downloadButtonTitle(bool paused) {
  return paused ? "Resume Download" : "Download (" + ReaderDownloadOffer::sizeText() + ")";
}

std::optional<std::string> SettingsView::readerMissingText(bool canGetServer,
                                                           const std::optional<std::string>& error) {
  const std::string sentence = ModelDownloader::noServerSentence();
  if (canGetServer || error == sentence) return std::nullopt;
  return sentence;
}

std::string SettingsView::removeNote() {
  return "Removing it frees about " + ReaderDownloadOffer::sizeText() +
         ". Text it has already read stays in your archive.";
}

std::string SettingsView::lastBackupText(const std::vector<BackupInfo>& backups,
                                         const QLocale& locale) {
  if (backups.empty()) return "None yet";
  const QDateTime created = QDateTime::fromMSecsSinceEpoch(backups.front().created / 1000).toLocalTime();
  // The abbreviated date: the locale's long pattern without the weekday and
  // with the month's short name.
  QString pattern = locale.dateFormat(QLocale::LongFormat);
  pattern.remove(QRegularExpression("d{4}[,.]?\\s*"));
  pattern.replace("MMMM", "MMM");
  pattern = pattern.trimmed();
  return (locale.toString(created.date(), pattern) + ", " +
          locale.toString(created.time(), QLocale::ShortFormat))
      .toStdString();
}

std::string SettingsView::countText(long long count) { return std::to_string(count); }

std::string SettingsView::licenseUrl() { return "https://ai.google.dev/gemma/terms"; }

// ---- The window ----

SettingsView::SettingsView(AppModel& model, QWidget* parent)
    : QWidget(parent, Qt::Window), model_(model) {
  setObjectName("settingsView");
  setWindowTitle("Settings");
  setFixedSize(560, 520);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  tabs_ = new QTabWidget(this);
  tabs_->setObjectName("settingsTabs");
  tabs_->setDocumentMode(true);
  tabs_->addTab(archiveTab(), QIcon::fromTheme("package-x-generic"), "Archive");
  tabs_->addTab(handwritingTab(), QIcon::fromTheme("document-edit"), "Handwriting");
  tabs_->addTab(foldersTab(), QIcon::fromTheme("folder-new"), "Folders");
  tabs_->addTab(backupTab(), QIcon::fromTheme("drive-harddisk"), "Backup");
  layout->addWidget(tabs_);

  tabs_->setCurrentIndex(std::clamp(model_.settingsTab(), 0, tabs_->count() - 1));
  connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
    model_.setSettingsTab(index);
    if (index == 3) updateBackup();
    if (index == 1) updateReader();
  });
  connect(&model_, &AppModel::settingsTabChanged, this, [this] {
    const int tab = model_.settingsTab();
    if (tab >= 0 && tab < tabs_->count() && tab != tabs_->currentIndex()) tabs_->setCurrentIndex(tab);
  });

  connect(&model_, &AppModel::listsChanged, this, [this] { updateCounts(); });
  connect(&model_, &AppModel::rebuildingIndexChanged, this, [this] { updateRebuild(); });
  connect(&model_, &AppModel::downloadChanged, this, [this] { updateReader(); });
  connect(&model_, &AppModel::watchChanged, this, [this] { updateFolders(); });
  connect(&model_, &AppModel::restoreStagedChanged, this,
          [this] { restoreWaiting_->setVisible(model_.restoreStaged()); });
  connect(&model_, &AppModel::noticeChanged, this, [this] { updateNotice(); });

  updateCounts();
  updateRebuild();
  updateReader();
  updateFolders();
  // The backups are listed when the window shows (each is opened to read it).
  restoreWaiting_->setVisible(model_.restoreStaged());
  updateNotice();
}

void SettingsView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  model_.reload();
  keptIn_->setText(qs(QuorvelPaths::dataRoot()));
  updateReader();
  updateBackup();
}

// ---- Archive ----

QWidget* SettingsView::archiveTab() {
  Page page = makePage(this);
  QVBoxLayout* archive = section(page, "Your archive");
  scans_ = valueRow(archive, "Scans", QString(), "scansCount");
  withText_ = valueRow(archive, "With text", QString(), "withTextCount");
  people_ = valueRow(archive, "People", QString(), "peopleCount");
  dates_ = valueRow(archive, "Dates found", QString(), "datesCount");

  auto* kept = new QHBoxLayout;
  kept->addWidget(new QLabel("Kept in", archive->parentWidget()), 0, Qt::AlignTop);
  auto* place = new QVBoxLayout;
  place->setSpacing(4);
  keptIn_ = new QLabel(qs(QuorvelPaths::dataRoot()), archive->parentWidget());
  keptIn_->setObjectName("dataFolder");
  keptIn_->setTextFormat(Qt::PlainText);
  keptIn_->setFont(PanelStyle::font(Text::caption));
  keptIn_->setWordWrap(true);
  keptIn_->setAlignment(Qt::AlignRight);
  keptIn_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  keptIn_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  place->addWidget(keptIn_);
  QPushButton* show =
      button(archive->parentWidget(), "Show in File Manager", "showDataFolder", true);
  place->addWidget(show, 0, Qt::AlignRight);
  kept->addLayout(place, 1);
  archive->addLayout(kept);
  connect(show, &QPushButton::clicked, this,
          [this] { model_.desktop().openFolder(QuorvelPaths::dataRoot()); });
  archive->addWidget(PanelStyle::caption(
      "Quorvel Ink keeps its index, thumbnails and your transcriptions here. Your scans stay "
      "exactly where you saved them.",
      archive->parentWidget()));

  QVBoxLayout* printed = section(page, "Printed text");
  valueRow(printed, "Reader", "Tesseract \u00B7 automatic", "printedReader");
  auto* rebuildRow = new QHBoxLayout;
  rebuild_ = button(printed->parentWidget(), "Rebuild Search Index", "rebuildIndex");
  rebuildRow->addWidget(rebuild_);
  rebuilding_ = namedCaption("Rebuilding the search index\u2026", printed->parentWidget(),
                             "rebuildingIndex");
  rebuildRow->addWidget(rebuilding_);
  rebuildRow->addStretch(1);
  printed->addLayout(rebuildRow);
  connect(rebuild_, &QPushButton::clicked, this, [this] { model_.rebuildSearchIndex(); });

  QVBoxLayout* family = section(page, "Family tree programs");
  QPushButton* gedcom = button(family->parentWidget(), "Export GEDCOM\u2026", "exportGedcom");
  family->addWidget(gedcom);
  connect(gedcom, &QPushButton::clicked, this, [this] { model_.exportGedcom(); });
  family->addWidget(PanelStyle::caption(
      "One entry per person you've tagged, with their scans, dates and transcriptions attached.",
      family->parentWidget()));
  page.sections->addStretch(1);
  return page.scroll;
}

void SettingsView::updateCounts() {
  const CatalogStats& stats = model_.stats();
  scans_->setText(qs(countText(stats.items)));
  withText_->setText(qs(countText(stats.transcribed)));
  people_->setText(qs(countText(stats.people)));
  dates_->setText(qs(countText(stats.dates)));
}

void SettingsView::updateRebuild() {
  rebuild_->setEnabled(!model_.rebuildingIndex());
  rebuilding_->setVisible(model_.rebuildingIndex());
}

// ---- Handwriting ----

QWidget* SettingsView::handwritingTab() {
  Page page = makePage(this);
  QVBoxLayout* reader = section(page, "Handwriting reader");
  QWidget* box = reader->parentWidget();

  installed_ = new QWidget(box);
  auto* installed = new QVBoxLayout(installed_);
  installed->setContentsMargins(0, 0, 0, 0);
  installed->setSpacing(8);
  valueRow(installed, "Status", "Installed", "readerInstalledStatus");
  engineStatus_ = namedCaption(QString(), installed_, "engineStatus");
  installed->addWidget(engineStatus_);
  QPushButton* remove = button(installed_, "Remove the Handwriting Reader", "removeReader");
  PanelStyle::setTextColor(remove, PanelStyle::red());
  QPalette destructive = remove->palette();
  destructive.setColor(QPalette::ButtonText, PanelStyle::red());
  remove->setPalette(destructive);
  installed->addWidget(remove);
  installed->addWidget(namedCaption(qs(removeNote()), installed_, "removeNote"));
  reader->addWidget(installed_);
  connect(remove, &QPushButton::clicked, this, [this] { model_.removeReader(); });

  downloading_ = new QWidget(box);
  auto* downloading = new QVBoxLayout(downloading_);
  downloading->setContentsMargins(0, 0, 0, 0);
  downloading->setSpacing(8);
  progress_ = new QProgressBar(downloading_);
  progress_->setObjectName("downloadProgress");
  progress_->setRange(0, 1000);
  progress_->setTextVisible(false);
  downloading->addWidget(progress_);
  progressText_ = namedCaption(QString(), downloading_, "downloadProgressText");
  downloading->addWidget(progressText_);
  QPushButton* pause = button(downloading_, "Pause", "pauseDownload");
  downloading->addWidget(pause);
  reader->addWidget(downloading_);
  connect(pause, &QPushButton::clicked, this, [this] { model_.pauseDownload(); });

  notInstalled_ = new QWidget(box);
  auto* notInstalled = new QVBoxLayout(notInstalled_);
  notInstalled->setContentsMargins(0, 0, 0, 0);
  notInstalled->setSpacing(8);
  readerStatus_ = valueRow(notInstalled, "Status", QString(), "readerStatus");
  readerMissing_ = namedCaption(QString(), notInstalled_, "readerMissing");
  notInstalled->addWidget(readerMissing_);
  download_ = button(notInstalled_, QString(), "startDownload");
  notInstalled->addWidget(download_);
  downloadError_ = namedCaption(QString(), notInstalled_, "downloadError");
  PanelStyle::setTextColor(downloadError_, PanelStyle::red());
  notInstalled->addWidget(downloadError_);
  reader->addWidget(notInstalled_);
  connect(download_, &QPushButton::clicked, this, [this] { model_.startDownload({}); });

  reader->addWidget(PanelStyle::caption(
      "Cursive and handwriting are read by a model that runs entirely on this computer. Nothing "
      "you scan is ever sent anywhere. Ask for it on any scan with Read Handwriting.",
      box));
  auto* license = new QPushButton("Model license: Gemma Terms of Use", box);
  license->setObjectName("licenseLink");
  license->setFlat(true);
  license->setCursor(Qt::PointingHandCursor);
  license->setFont(PanelStyle::font(Text::caption));
  license->setStyleSheet("QPushButton { border: none; padding: 0; text-align: left; }");
  QPalette link = license->palette();
  link.setColor(QPalette::ButtonText, Palette::airBlue());
  license->setPalette(link);
  license->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
  reader->addWidget(license);
  connect(license, &QPushButton::clicked, this, [this] { model_.desktop().openUrl(licenseUrl()); });
  page.sections->addStretch(1);
  return page.scroll;
}

void SettingsView::updateReader() {
  const ReaderState state = readerState(model_.readerInstalled(), model_.download().has_value());
  installed_->setVisible(state == ReaderState::installed);
  downloading_->setVisible(state == ReaderState::downloading);
  notInstalled_->setVisible(state == ReaderState::notInstalled);
  switch (state) {
    case ReaderState::installed:
      engineStatus_->setText(qs(model_.handwriting().status()));
      break;
    case ReaderState::downloading:
      progress_->setValue(static_cast<int>(model_.download()->fraction() * 1000));
      progressText_->setText(qs(progressText(*model_.download())));
      break;
    case ReaderState::notInstalled: {
      readerStatus_->setText(qs(readerStatusText(model_.downloadPaused())));
      download_->setText(qs(downloadButtonTitle(model_.downloadPaused())));
      const std::optional<std::string>& error = model_.downloadError();
      const std::optional<std::string> missing =
          readerMissingText(ModelDownloader::canGetServer(), error);
      readerMissing_->setVisible(missing.has_value());
      readerMissing_->setText(missing ? qs(*missing) : QString());
      downloadError_->setVisible(error.has_value());
      downloadError_->setText(error ? qs(*error) : QString());
      break;
    }
  }
}

// ---- Folders ----

QWidget* SettingsView::foldersTab() {
  Page page = makePage(this);
  QVBoxLayout* folders = section(page, "Watched folders");
  QWidget* box = folders->parentWidget();
  watching_ = new QCheckBox("Add new scans from these folders automatically", box);
  watching_->setObjectName("watchingEnabled");
  folders->addWidget(watching_);
  connect(watching_, &QCheckBox::toggled, this, [this](bool on) { model_.setWatchingEnabled(on); });
  noFolders_ = namedCaption(
      "No folders yet. Add the folder your scanner saves into and new scans appear in your "
      "library by themselves.",
      box, "noFolders");
  folders->addWidget(noFolders_);
  folderRows_ = new QVBoxLayout;
  folderRows_->setSpacing(6);
  folders->addLayout(folderRows_);
  QPushButton* add = button(box, "Add Folder\u2026", "addFolder");
  folders->addWidget(add);
  connect(add, &QPushButton::clicked, this, [this] { model_.addWatchedFolder(); });
  page.sections->addStretch(1);
  return page.scroll;
}

void SettingsView::updateFolders() {
  const WatchSettings& watch = model_.watch();
  if (watching_->isChecked() != watch.enabled) {
    const QSignalBlocker quiet(watching_);
    watching_->setChecked(watch.enabled);
  }
  noFolders_->setVisible(watch.folders.empty());
  // Old rows leave the window at once and are deleted later: the button of
  // one of them may be what called this.
  while (QLayoutItem* item = folderRows_->takeAt(0)) {
    if (QWidget* row = item->widget()) {
      row->hide();
      row->setParent(nullptr);
      row->deleteLater();
    }
    delete item;
  }
  QWidget* box = noFolders_->parentWidget();
  const QIcon folderIcon = QIcon::fromTheme("folder");
  const QIcon minusIcon = QIcon::fromTheme("list-remove");
  for (const std::string& folder : watch.folders) {
    auto* row = new QWidget(box);
    row->setObjectName("folderRow");
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(8);
    auto* icon = new QLabel(row);
    if (!folderIcon.isNull()) icon->setPixmap(folderIcon.pixmap(16, 16));
    line->addWidget(icon);
    auto* path = new PanelStyle::ClampedText(qs(folder), 1, Qt::ElideMiddle, row);
    path->setObjectName("folderPath");
    line->addWidget(path, 1);
    auto* remove = new QToolButton(row);
    remove->setObjectName("removeFolder");
    remove->setAutoRaise(true);
    if (!minusIcon.isNull()) {
      remove->setIcon(minusIcon);
    } else {
      remove->setText(QStringLiteral("\u2212"));
    }
    remove->setToolTip("Stop watching this folder. Scans already added stay.");
    line->addWidget(remove);
    connect(remove, &QToolButton::clicked, this, [this, folder] { model_.removeWatchedFolder(folder); });
    folderRows_->addWidget(row);
  }
}

// ---- Backup ----

QWidget* SettingsView::backupTab() {
  Page page = makePage(this);
  QVBoxLayout* backup = section(page, "Backup");
  QWidget* box = backup->parentWidget();
  QPushButton* now = button(box, "Back Up Now\u2026", "backUpNow");
  backup->addWidget(now);
  connect(now, &QPushButton::clicked, this, [this] { model_.backUpNow(); });
  QPushButton* restore = button(box, "Restore from Backup\u2026", "restoreFromBackup");
  backup->addWidget(restore);
  connect(restore, &QPushButton::clicked, this, [this] { model_.restoreFromBackup(); });

  restoreWaiting_ = new QWidget(box);
  restoreWaiting_->setObjectName("restoreWaiting");
  auto* waiting = new QHBoxLayout(restoreWaiting_);
  waiting->setContentsMargins(0, 0, 0, 0);
  waiting->addWidget(
      PanelStyle::caption("A restore is waiting. Quit and reopen Quorvel Ink to finish it.", restoreWaiting_),
      1);
  QPushButton* cancel = button(restoreWaiting_, "Cancel Restore", "cancelRestore", true);
  waiting->addWidget(cancel);
  backup->addWidget(restoreWaiting_);
  connect(cancel, &QPushButton::clicked, this, [this] {
    model_.cancelRestore();
    // Said only when the staged restore is really gone: one that could not
    // be removed still happens at the next launch.
    if (!model_.restoreStaged()) model_.setNotice("Restore cancelled. Nothing was changed.");
  });

  notice_ = namedCaption(QString(), box, "backupNotice");
  backup->addWidget(notice_);
  backup->addWidget(PanelStyle::caption(
      "A backup holds your transcriptions, people, dates, notes and thumbnails. It doesn't copy "
      "the scan files themselves; keep those backed up the way you already do. Backups open on "
      "every computer with Quorvel Ink.",
      box));

  QVBoxLayout* automatic = section(page, "Automatic");
  QWidget* autoBox = automatic->parentWidget();
  lastBackup_ = valueRow(automatic, "Last automatic backup", QString(), "lastAutomaticBackup");
  automatic->addWidget(PanelStyle::caption(
      "Once a week Quorvel Ink keeps a small backup in its own folder, and holds on to the newest "
      "four.",
      autoBox));
  QPushButton* showBackups = button(autoBox, "Show Backups in File Manager", "showBackups", true);
  automatic->addWidget(showBackups);
  connect(showBackups, &QPushButton::clicked, this, [this] {
    const std::string folder = QuorvelPaths::backupDir();
    std::error_code ignored;  // the folder is opened even when it could not be made
    std::filesystem::create_directories(folder, ignored);
    model_.desktop().openFolder(folder);
  });
  page.sections->addStretch(1);
  return page.scroll;
}

void SettingsView::updateBackup() {
  restoreWaiting_->setVisible(model_.restoreStaged());
  lastBackup_->setText(qs(lastBackupText(BackupService::listAutomatic(), QLocale())));
}

void SettingsView::updateNotice() {
  const std::optional<std::string>& notice = model_.notice();
  notice_->setVisible(notice.has_value());
  notice_->setText(notice ? qs(*notice) : QString());
}

}  // namespace quorvel::app
