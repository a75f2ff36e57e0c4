#include <gtest/gtest.h>

#include <QTimer>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "app/app_model.h"
#include "app_test_support.h"
#include "core/paths.h"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;
using app::AppModel;
using app::LibraryFilter;

// ---- Pure rules ----

TEST(LibraryFilterTest, TitlesEqualityAndHashing) {
  const std::vector<Person> people{Person{7, "Anna Weber", "", 2}};
  struct Case {
    LibraryFilter filter;
    std::string title;
  };
  const std::vector<Case> cases{
      {LibraryFilter::all(), "Library"},
      {LibraryFilter::kind(ItemKind::letter), "Letters"},
      {LibraryFilter::kind(ItemKind::photoBack), "Back of photos"},
      {LibraryFilter::kind(ItemKind::unknown), "Scans"},
      {LibraryFilter::favorites(), "Favorites"},
      {LibraryFilter::needsReview(), "Needs Review"},
      {LibraryFilter::person(7), "Anna Weber"},
      {LibraryFilter::person(8), "Person"},
      {LibraryFilter::year(1923), "1923"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.filter.title(people), c.title);
  EXPECT_EQ(LibraryFilter::person(7), LibraryFilter::person(7));
  EXPECT_NE(LibraryFilter::person(7), LibraryFilter::year(7));
  EXPECT_NE(LibraryFilter::person(7).hash(), LibraryFilter::year(7).hash());
  EXPECT_EQ(LibraryFilter::kind(ItemKind::card).hash(), LibraryFilter::kind(ItemKind::card).hash());
}

TEST(AppModelTextTest, ImportStatusLine) {
  struct Case {
    ImportPhase phase;
    int done, total, queued;
    std::optional<std::string> text;
  };
  const std::vector<Case> cases{
      {ImportPhase::scanning, 0, 0, 0, "Looking for scans…"},
      {ImportPhase::adding, 3, 10, 0, "Adding 3 of 10"},
      {ImportPhase::adding, 0, 0, 0, "Adding 0 of 0"},
      {ImportPhase::recognizing, 0, 4, 4, "Reading text · 4 to go"},
      {ImportPhase::recognizing, 0, 0, 0, std::nullopt},
      {ImportPhase::done, 10, 10, 1, "Reading text · 1 to go"},
      {ImportPhase::done, 10, 10, 0, std::nullopt},
      {ImportPhase::cancelled, 1, 2, 5, std::nullopt},
      {ImportPhase::failed, 1, 2, 5, std::nullopt},
  };
  for (const Case& c : cases) {
    ImportProgress progress;
    progress.phase = c.phase;
    progress.done = c.done;
    progress.total = c.total;
    EXPECT_EQ(AppModel::importText(progress, c.queued), c.text) << static_cast<int>(c.phase);
  }
}

TEST(AppModelTextTest, TranslationProgressBookNoticeAndSafeNames) {
  EXPECT_EQ(AppModel::translateText(0, 1), "Translating…");
  EXPECT_EQ(AppModel::translateText(0, 3), "Translating part 1 of 3…");
  EXPECT_EQ(AppModel::translateText(2, 3), "Translating part 3 of 3…");
  EXPECT_EQ(AppModel::translateText(3, 3), std::nullopt);

  EXPECT_EQ(AppModel::bookSavedText("Book.pdf", KeepsakeSummary{12, 1, 2 * 1048576}),
            "Saved Book.pdf: 1 scan, 12 pages, 2 MB.");
  EXPECT_EQ(AppModel::bookSavedText("Book.pdf", KeepsakeSummary{4, 0, 1073741824}),
            "Saved Book.pdf: 0 scans, 4 pages, 1.0 GB.");
  EXPECT_EQ(AppModel::bookSavedText("B.pdf", KeepsakeSummary{30, 2, 0}), "Saved B.pdf: 2 scans, 30 pages, 0 MB.");

  EXPECT_EQ(AppModel::safeFileName("1923/24.pdf"), "1923-24.pdf");
  EXPECT_EQ(AppModel::safeFileName(std::string("a\0b", 3)), "a-b");
}

TEST(AppModelTextTest, TheExtensionOfASavedFile) {
  struct Case {
    std::string path, extension, saved;
  };
  for (const Case& c : std::vector<Case>{
           {"/home/a/Family", "pdf", "/home/a/Family.pdf"},
           {"/home/a/Family.pdf", "pdf", "/home/a/Family.pdf"},
           {"/home/a/Family.PDF", "pdf", "/home/a/Family.PDF"},
           {"/home/a/Dr. Weber", "pdf", "/home/a/Dr. Weber.pdf"},
           {"/home/a.pdf/book", "pdf", "/home/a.pdf/book.pdf"},
           {"/home/a/mine.backup", "quorvel-backup", "/home/a/mine.backup.quorvel-backup"},
           {"/home/a/mine.quorvel-backup", "quorvel-backup", "/home/a/mine.quorvel-backup"},
           {"/home/a/tree", "ged", "/home/a/tree.ged"},
           {"/home/a/notes", "", "/home/a/notes"},
       }) {
    EXPECT_EQ(AppModel::withExtension(c.path, c.extension), c.saved) << c.path;
  }
}

// ---- Start-up ----

TEST(AppModelStartupTest, GarbageCatalogOpensTheRecoveryArchive) {
  ModelFixture f;
  const std::string real = QuorvelPaths::catalogFile();
  writeFile(real, std::string(8192, 'x'));
  const std::string before = readFile(real);
  std::error_code ignored;
  fs::remove_all(AppModel::recoveryRoot(), ignored);

  AppModel& model = f.make();
  ASSERT_TRUE(model.startupError().has_value());
  EXPECT_EQ(model.startupError()->rfind("Quorvel Ink couldn't open your archive (", 0), 0u);
  EXPECT_NE(model.startupError()->find("). Nothing was changed; this window is showing an empty temporary archive."),
            std::string::npos);
  EXPECT_EQ(QuorvelPaths::dataRoot(), AppModel::recoveryRoot());
  EXPECT_EQ(model.catalog().filePath(), AppModel::recoveryRoot() + "/catalog.db");
  EXPECT_TRUE(model.items().empty());
  EXPECT_EQ(readFile(real), before);
  model.clearStartupError();
  EXPECT_FALSE(model.startupError().has_value());
  f.model.reset();
  fs::remove_all(AppModel::recoveryRoot(), ignored);
}

TEST(AppModelStartupTest, FreshDataFolderStartsQuietWithDefaults) {
  ModelFixture f;
  AppModel& model = f.make();
  EXPECT_FALSE(model.startupError());
  EXPECT_FALSE(model.notice());
  EXPECT_FALSE(model.restoreStaged());
  EXPECT_FALSE(model.readerInstalled());
  EXPECT_TRUE(model.watch().enabled);
  EXPECT_TRUE(model.lastRemoved().empty());
  EXPECT_EQ(model.title(), "Library");
  EXPECT_FALSE(model.downloadRunning());
  EXPECT_TRUE(fs::is_directory(QuorvelPaths::thumbnailDir()));
}

// ---- Adding, reloads and the status line ----

TEST(AppModelTest, ImportAddsReadsAndClearsTheStatusLine) {
  ModelFixture f;
  AppModel& model = f.make();
  TempDir scans;
  for (int i = 1; i <= 3; ++i) writeScan(scans.file("letter" + std::to_string(i) + ".png"), 60 + i);
  std::vector<std::optional<double>> fractions;
  std::vector<std::string> messages;
  QObject::connect(&model, &AppModel::importStatusChanged, [&] {
    if (model.importMessage()) messages.push_back(*model.importMessage());
    if (model.importFraction()) fractions.push_back(model.importFraction());
  });
  model.importPaths({scans.path()});
  ASSERT_TRUE(waitUntil([&] { return model.items().size() == 3 && model.stats().transcribed == 3; }));
  ASSERT_TRUE(waitUntil([&] { return !model.importMessage().has_value(); }, 5000));
  EXPECT_EQ(messages.front(), "Looking for scans…");
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Adding 3 of 3"), messages.end());
  ASSERT_FALSE(fractions.empty());
  EXPECT_DOUBLE_EQ(*fractions.back(), 1.0);
  EXPECT_GT(model.changeTick(), 0);
}

// Reads every page as one line once the gate is opened, taking 0.3 s a page.
class GatedOcr : public FixedOcrEngine {
 public:
  OcrResult recognize(const std::string& path) override {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [&] { return open_; });
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return FixedOcrEngine::recognize(path);
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

TEST(AppModelTest, TheStatusLineClearsOnceTheLastSlowReadingHasEnded) {
  ModelFixture f;
  auto gate = std::make_shared<GatedOcr>();
  f.ocr = gate;
  struct Opener {
    GatedOcr& gate;
    ~Opener() { gate.open(); }  // the model waits for its readings when it goes
  } opener{*gate};
  AppModel& model = f.make();
  TempDir scans;
  for (int i = 1; i <= 4; ++i) writeScan(scans.file("page" + std::to_string(i) + ".png"), 60 + i);
  model.importPaths({scans.path()});
  ASSERT_TRUE(waitUntil([&] { return model.items().size() == 4; }));
  // The adding has ended and its own clearing (1.5 s on) found readings still to do.
  pump(2000);
  ASSERT_TRUE(model.importMessage().has_value());
  EXPECT_EQ(model.importMessage()->rfind("Reading text \u00B7 ", 0), 0u) << *model.importMessage();
  gate->open();
  ASSERT_TRUE(waitUntil([&] { return model.stats().transcribed == 4; }));
  EXPECT_TRUE(waitUntil([&] { return !model.importMessage().has_value(); }, 2500))
      << "still showing: " << model.importMessage().value_or("");
}

TEST(AppModelTest, TypingFiveCharactersReloadsOnceAndSearchesTrimmed) {
  ModelFixture f;
  AppModel& model = f.make();
  TempDir scans;
  writeScan(scans.file("a.png"));
  model.importPaths({scans.path()});
  ASSERT_TRUE(waitUntil([&] { return model.stats().transcribed == 1; }));
  f.reloadAndWait();

  const int before = model.reloadsStarted();
  for (const char* text : {"C", "Ch", "Chi", "Chic", "Chica"}) {
    model.setSearchText(text);
    pump(20);
  }
  EXPECT_TRUE(model.reloadPending());
  ASSERT_TRUE(waitUntil([&] { return !model.reloadPending(); }));
  pump(300);
  EXPECT_EQ(model.reloadsStarted() - before, 1);
  ASSERT_TRUE(waitUntil([&] { return model.items().size() == 1; }));
  EXPECT_EQ(model.title(), "Search");
  EXPECT_NE(model.snippets().at(model.items()[0].id).find("[Chica"), std::string::npos);

  // Only spaces and tabs: no search, the filter's list and title.
  model.setSearchText(" \t ");
  ASSERT_TRUE(waitUntil([&] { return !model.reloadPending(); }));
  f.reloadAndWait();
  EXPECT_EQ(model.title(), "Library");
  EXPECT_TRUE(model.snippets().empty());
}

TEST(AppModelTest, TheFirstDelayWinsAndAnEqualFilterDoesNothing) {
  ModelFixture f;
  AppModel& model = f.make();
  model.scheduleReload(0.4);
  const int before = model.reloadsStarted();
  model.scheduleReload(0.05);
  pump(200);
  EXPECT_EQ(model.reloadsStarted(), before);
  ASSERT_TRUE(waitUntil([&] { return model.reloadsStarted() == before + 1; }, 2000));

  model.setPath({42});
  const int reloads = model.reloadsStarted();
  model.setFilter(LibraryFilter::all());
  EXPECT_EQ(model.path(), std::vector<std::int64_t>{42});
  EXPECT_EQ(model.reloadsStarted(), reloads);
  model.setFilter(LibraryFilter::favorites());
  EXPECT_TRUE(model.path().empty());
  EXPECT_EQ(model.reloadsStarted(), reloads + 1);
}

TEST(AppModelTest, PersonFilterOfADeletedPersonListsNothing) {
  ModelFixture f;
  AppModel& model = f.make();
  model.setFilter(LibraryFilter::person(9999));
  f.reloadAndWait();
  EXPECT_EQ(model.title(), "Person");
  EXPECT_TRUE(model.items().empty());
}

// ---- Library edits ----

TEST(AppModelTest, FavouriteToggleKeepsAnEditSavedSinceTheCopy) {
  ModelFixture f;
  AppModel& model = f.make();
  TempDir scans;
  writeScan(scans.file("card.png"));
  model.importPaths({scans.path()});
  ASSERT_TRUE(waitUntil([&] { return model.stats().transcribed == 1; }));
  f.reloadAndWait();
  const ArchiveItem stale = model.items().at(0);

  ArchiveItem edited = *model.catalog().getItem(stale.id);
  edited.title = "Grandmother's card";
  edited.notes = "From the attic";
  model.catalog().updateItem(edited);

  model.toggleFavorite(stale);
  const ArchiveItem stored = *model.catalog().getItem(stale.id);
  EXPECT_TRUE(stored.favorite);
  EXPECT_EQ(stored.title, "Grandmother's card");
  EXPECT_EQ(stored.notes, "From the attic");
  EXPECT_EQ(stored.ocrStatus, OcrStatus::done);
}

TEST(AppModelTest, RemovingTheOpenItemClosesItAndUndoBringsItBack) {
  ModelFixture f;
  AppModel& model = f.make();
  TempDir scans;
  writeScan(scans.file("a.png"));
  writeScan(scans.file("b.png"), 70, 90);
  model.importPaths({scans.path()});
  ASSERT_TRUE(waitUntil([&] { return model.items().size() == 2; }));
  const std::int64_t open = model.items()[0].id, other = model.items()[1].id;
  model.setPath({other, open});

  model.undoRemove();  // nothing to undo: still reloads
  model.remove({open});
  EXPECT_EQ(model.path(), std::vector<std::int64_t>{other});
  EXPECT_EQ(model.lastRemoved().size(), 1u);
  ASSERT_TRUE(waitUntil([&] { return model.items().size() == 1; }));
  model.undoRemove();
  EXPECT_TRUE(model.lastRemoved().empty());
  ASSERT_TRUE(waitUntil([&] { return model.items().size() == 2; }));
}

// ---- Panels ----

TEST(AppModelTest, PanelsAreAskedWithTheirTextsAndCancelDoesNothing) {
  ModelFixture f;
  AppModel& model = f.make();
  TempDir folder;
  f.panels.openAnswers = {{}, {folder.path()}, {folder.path()}};
  model.addWatchedFolder();  // cancelled
  EXPECT_TRUE(model.watch().folders.empty());
  model.addWatchedFolder();
  model.addWatchedFolder();  // already watched: nothing added
  EXPECT_EQ(model.watch().folders, std::vector<std::string>{folder.path()});
  EXPECT_EQ(WatchSettings::load().folders, std::vector<std::string>{folder.path()});
  EXPECT_EQ(f.panels.openRequests[0].title, "Watch a folder");
  EXPECT_EQ(f.panels.openRequests[0].prompt, "Watch");
  EXPECT_FALSE(f.panels.openRequests[0].files);
  model.removeWatchedFolder(folder.path());
  EXPECT_TRUE(WatchSettings::load().folders.empty());

  model.makeBook();  // nothing listed
  EXPECT_EQ(model.notice(), "Add some scans first, then make a book from them.");
  EXPECT_FALSE(model.showBook());

  f.panels.saveAnswers = {folder.file("tree.ged")};
  model.exportGedcom();
  ASSERT_TRUE(waitUntil([&] { return model.notice()->rfind("Saved", 0) == 0; }));
  EXPECT_EQ(model.notice(), "Saved tree.ged. Open it in your family tree program.");
  EXPECT_EQ(f.panels.saveRequests.back(),
            (std::pair<std::string, std::string>{"Export for your family tree program", "Quorvel Ink.ged"}));

  f.panels.saveAnswers = {folder.file("no/such/folder/tree.ged")};
  model.exportGedcom();
  ASSERT_TRUE(waitUntil([&] { return model.notice()->rfind("Couldn't save the export: ", 0) == 0; }));
}

TEST(AppModelTest, BackupThenStagedRestoreBecomesTheNoticeAtTheNextLaunch) {
  TempDir out;
  const std::string backup = out.file("archive.quorvel-backup");
  {
    ModelFixture f;
    AppModel& model = f.make();
    TempDir scans;
    writeScan(scans.file("a.png"));
    model.importPaths({scans.path()});
    ASSERT_TRUE(waitUntil([&] { return model.stats().transcribed == 1; }));
    f.panels.saveAnswers = {backup};
    model.backUpNow();
    EXPECT_EQ(model.notice(), "Backing up…");
    ASSERT_TRUE(waitUntil([&] { return model.notice()->rfind("Backup saved: 1 scans, ", 0) == 0; }, 30000));
    EXPECT_EQ(f.panels.saveRequests.back().second.rfind("Quorvel Ink ", 0), 0u);
    EXPECT_NE(f.panels.saveRequests.back().second.find(".quorvel-backup"), std::string::npos);
  }
  ModelFixture f;
  {
    AppModel& model = f.make();
    f.panels.openAnswers = {{backup}};
    model.restoreFromBackup();
    ASSERT_TRUE(waitUntil([&] { return model.restoreStaged(); }, 30000));
    EXPECT_EQ(model.notice()->rfind("Ready to restore 1 scans from ", 0), 0u);
    EXPECT_EQ(f.panels.openRequests.back().title, "Restore from a backup");
  }
  f.model.reset();
  AppModel& relaunched = f.make();
  ASSERT_TRUE(relaunched.notice().has_value());
  EXPECT_FALSE(relaunched.restoreStaged());
  ASSERT_TRUE(waitUntil([&] { return relaunched.items().size() == 1; }));
}

TEST(AppModelTest, ABackupNamedWithoutItsExtensionGetsItAndAMissingFolderIsNamed) {
  ModelFixture f;
  AppModel& model = f.make();
  TempDir out;
  f.panels.saveAnswers = {out.file("mine")};
  model.backUpNow();
  ASSERT_TRUE(waitUntil([&] { return model.notice()->rfind("Backup saved: ", 0) == 0; }, 30000));
  EXPECT_TRUE(BackupService::inspect(out.file("mine.quorvel-backup")).has_value());
  EXPECT_FALSE(fs::exists(out.file("mine")));

  // The panel asked about "taken", not about the file the extension makes of it.
  writeFile(out.file("taken.quorvel-backup"), "keep me");
  f.panels.saveAnswers = {out.file("taken")};
  f.panels.confirmAnswers = {false};
  model.setNotice(std::nullopt);
  model.backUpNow();
  ASSERT_EQ(f.panels.confirmRequests.size(), 1u);
  EXPECT_EQ(f.panels.confirmRequests[0], "Replace \u201ctaken.quorvel-backup\u201d?");
  EXPECT_FALSE(model.notice().has_value());
  EXPECT_EQ(readFile(out.file("taken.quorvel-backup")), "keep me");

  f.panels.saveAnswers = {out.file("unplugged/mine.quorvel-backup")};
  model.backUpNow();
  ASSERT_TRUE(waitUntil([&] { return model.notice() != "Backing up…"; }, 30000));
  EXPECT_EQ(model.notice(), "The backup couldn't be saved: The folder " + out.file("unplugged") + " is missing.");
}

// ---- Questions and translations without a reader ----

TEST(AppModelTest, QuestionAndTranslationWithoutAReaderSayWhy) {
  ModelFixture f;
  AppModel& model = f.make();
  TempDir scans;
  writeScan(scans.file("brief.png"));
  f.ocr = std::make_shared<FixedOcrEngine>();
  model.importPaths({scans.path()});
  ASSERT_TRUE(waitUntil([&] { return model.stats().transcribed == 1; }));
  f.reloadAndWait();

  model.ask("Who wrote from Chicago?");
  ASSERT_EQ(model.askHistory().size(), 1u);
  EXPECT_TRUE(model.asking());
  EXPECT_EQ(model.askHistory()[0].status, "Finding the letters that mention it…");
  ASSERT_TRUE(waitUntil([&] { return !model.asking(); }));
  EXPECT_TRUE(model.askHistory()[0].error.has_value());
  EXPECT_EQ(model.askHistory()[0].question, "Who wrote from Chicago?");

  const std::int64_t id = model.items()[0].id;
  const int tick = model.changeTick();
  model.translate(id);
  EXPECT_EQ(model.translating().at(id), "Getting the reader ready…");
  model.translate(id);  // already running: nothing changes
  EXPECT_EQ(model.translating().size(), 1u);
  ASSERT_TRUE(waitUntil([&] { return model.translating().empty(); }));
  EXPECT_TRUE(model.translateErrors().count(id));
  EXPECT_EQ(model.changeTick(), tick + 1);
}

// ---- The reader download ----

TEST(AppModelDownloadTest, ResumesAtLaunchOnlyWithoutThePauseMarker) {
  struct Case {
    bool marker;
    bool resumes;
  };
  for (const Case c : {Case{false, true}, Case{true, false}}) {
    ModelFixture f;
    QuorvelPaths::ensureCreated();
    writeFile(QuorvelPaths::modelDir() + "/pack/model.gguf.partial", "half");
    if (c.marker) writeFile(AppModel::pauseMarkerPath(), "");
    // An address that refuses at once: the resumed run fails quickly.
    setenv("QUORVEL_MANIFEST_URL", "https://127.0.0.1:1/manifest.json", 1);
    AppModel& model = f.make();
    if (c.resumes) {
      EXPECT_TRUE(model.downloadRunning() || model.downloadError().has_value());
      EXPECT_FALSE(fs::exists(AppModel::pauseMarkerPath()));
    } else {
      EXPECT_FALSE(model.downloadRunning());
      EXPECT_TRUE(model.downloadPaused());
    }
    model.pauseDownload();
    ASSERT_TRUE(waitUntil([&] { return !model.downloadRunning(); }, 20000));
    EXPECT_FALSE(model.download().has_value());
    EXPECT_TRUE(fs::exists(AppModel::pauseMarkerPath()));
    unsetenv("QUORVEL_MANIFEST_URL");
  }
}

TEST(AppModelDownloadTest, JoiningCollectsIdsAndAFailureKeepsThem) {
  ModelFixture f;
  AppModel& model = f.make();
  setenv("QUORVEL_MANIFEST_URL", "https://127.0.0.1:1/manifest.json", 1);
  model.startDownload({1});
  EXPECT_TRUE(model.downloadRunning());
  ASSERT_TRUE(model.download().has_value());
  EXPECT_EQ(model.download()->message, "Starting…");
  model.startDownload({2, 3});
  EXPECT_EQ(model.readAfterDownload(), (std::vector<std::int64_t>{1, 2, 3}));
  ASSERT_TRUE(waitUntil([&] { return !model.downloadRunning(); }, 60000));
  // The built-in manifest has no program for this computer and none is installed.
  EXPECT_TRUE(model.downloadError().has_value());
  EXPECT_EQ(model.readAfterDownload(), (std::vector<std::int64_t>{1, 2, 3}));
  unsetenv("QUORVEL_MANIFEST_URL");
}

TEST(AppModelDownloadTest, RemovingTheReaderDuringADownloadEndsItSilently) {
  ModelFixture f;
  AppModel& model = f.make();
  setenv("QUORVEL_MANIFEST_URL", "https://127.0.0.1:1/manifest.json", 1);
  model.startDownload({});
  model.removeReader();
  ASSERT_TRUE(waitUntil([&] { return !model.downloadRunning(); }, 20000));
  pump(200);
  EXPECT_FALSE(model.downloadError().has_value());
  EXPECT_FALSE(model.readerInstalled());
  unsetenv("QUORVEL_MANIFEST_URL");
}

TEST(AppModelTest, DestroyingTheModelWhileWorkRunsDropsTheResults) {
  ModelFixture f;
  AppModel& model = f.make();
  TempDir scans;
  for (int i = 0; i < 6; ++i) writeScan(scans.file("s" + std::to_string(i) + ".png"), 50 + i);
  model.importPaths({scans.path()});
  model.ask("Who?");
  model.reload();
  f.model.reset();
  pump(300);  // queued results for the gone model must not run
  // The next launch finds a sound catalog: each scan at most once.
  AppModel& again = f.make();
  EXPECT_LE(again.stats().items, 6);
  EXPECT_FALSE(again.startupError().has_value());
}

}  // namespace
}  // namespace quorvel::testing
