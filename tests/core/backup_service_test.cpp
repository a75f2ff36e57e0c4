#include "core/backup_service.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "core/catalog.h"
#include "core/failure.h"
#include "core/handwriting_engine.h"
#include "core/image_tools.h"
#include "core/model_delivery.h"
#include "core/paths.h"
#include "core/sqlite.h"
#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

constexpr std::int64_t kSecond = 1'000'000;
constexpr std::int64_t kDay = 86'400 * kSecond;
// 2026-03-01T08:30:15.25Z, which is 09:30:15.25 in the fixture's zone (UTC+1).
constexpr TimePoint kMarchFirst = 1'772'353'815'250'000;
constexpr const char* kNotABackup = "That file isn't a Quorvel Ink backup, or it's damaged.";
constexpr const char* kCatalogUnreadable =
    "The catalog inside that backup couldn't be opened, so nothing was changed.";

std::string unzip(const std::vector<std::string>& args) { return Shell::run("/usr/bin/unzip", args); }

std::set<std::string> members(const std::string& zip) {
  std::set<std::string> names;
  std::string listing = unzip({"-Z1", zip});
  std::size_t start = 0;
  while (start < listing.size()) {
    std::size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    if (end > start) names.insert(listing.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

std::int64_t countRows(const std::string& dbPath, const std::string& table) {
  Database db(dbPath, /*readOnly=*/true);
  return db.query("SELECT COUNT(*) AS n FROM " + table)[0].int64("n");
}

nlohmann::ordered_json manifestJson() {
  nlohmann::ordered_json m;
  m["Format"] = 1;
  m["Created"] = "2026-03-01T09:30:00.1234567+01:00";
  m["AppVersion"] = "1.0.0";
  m["Machine"] = "Elsewhere";
  m["Items"] = 3;
  m["Transcribed"] = 2;
  m["People"] = 1;
  m["Thumbnails"] = false;
  return m;
}

class BackupServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Each test gets its own temporary folder, so staging folders of parallel tests never mix.
    setenv("TMPDIR", tmp_.path().c_str(), 1);
    setenv("TZ", "QRV-1", 1);
    tzset();
    BackupService::useClock([this] { return now_; });
    BackupService::useComputerName([] { return std::optional<std::string>("Test Computer"); });
    catalog_ = std::make_unique<Catalog>(QuorvelPaths::catalogFile());
  }
  void TearDown() override {
    BackupService::useClock({});
    BackupService::useComputerName({});
    BackupService::useFreeSpace({});
    unsetenv("TMPDIR");
  }

  std::int64_t addItem(Catalog& catalog, const std::string& name,
                       std::optional<std::string> thumb = std::nullopt) {
    ArchiveItem item;
    item.path = "/scans/" + name;
    item.fileName = name;
    item.fileSize = 100;
    item.sha256 = name;
    item.thumbnailPath = std::move(thumb);
    std::int64_t id = catalog.addItem(item);
    EXPECT_GT(id, 0) << catalog.lastError().value_or("");
    return id;
  }

  // Three items, two transcribed, one person; two thumbnails.
  void fillArchive() {
    std::int64_t a = addItem(*catalog_, "letter.jpg", thumbs() + "/aaa.jpg");
    std::int64_t b = addItem(*catalog_, "photo.jpg", thumbs() + "/bbb.jpg");
    addItem(*catalog_, "card.jpg");
    catalog_->saveCorrectedText(a, "Dear Anna, the harvest of 1923");
    catalog_->saveCorrectedText(b, "Back of the photo");
    catalog_->tagPerson(a, catalog_->ensurePerson("Anna"));
    writeFile(thumbs() + "/aaa.jpg", "jpeg a");
    writeFile(thumbs() + "/bbb.jpg", "jpeg b");
  }

  std::string thumbs() const { return QuorvelPaths::thumbnailDir(); }
  std::string data(const std::string& name) const { return root_.path() + "/" + name; }
  std::string staging() const { return data("restore-pending"); }
  std::vector<std::string> stagingLeftovers() const {
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(tmp_.path()))
      if (entry.path().filename().string().starts_with("quorvel-backup-"))
        left.push_back(entry.path().string());
    return left;
  }

  // A backup made from a second archive, so a restore visibly changes the live one.
  std::string otherBackup(bool withThumbs) {
    testing::TempDir other;
    std::string path = out_.file("other.quorvel-backup");
    {
      Catalog catalog(other.file("catalog.db"));
      addItem(catalog, "from-backup-1.jpg", "/Users/someone/QuorvelInk/thumbs/aaa.jpg");
      addItem(catalog, "from-backup-2.jpg", "C:\\old\\thumbs\\ccc.jpg");
      // Build it in a data root of its own, then point the root back.
      QuorvelPaths::useRoot(other.path());
      writeFile(other.file("watch.json"), "{\"from\": \"backup\"}");
      writeFile(other.file("thumbs/aaa.jpg"), "backup a");
      writeFile(other.file("thumbs/ccc.jpg"), "backup c");
      BackupService::create(catalog, path, "0.9", withThumbs);
      QuorvelPaths::useRoot(root_.path());
    }
    return path;
  }

  // Zips a folder's content as it is (symbolic links stored as links).
  std::string zipFolder(const std::string& folder, const std::string& name) {
    std::string zip = out_.file(name);
    Shell::run("/usr/bin/zip", {"-q", "-r", "-y", zip, "."}, folder);
    return zip;
  }

  // A folder laid out like a backup, with a real catalog and the manifest given.
  std::string craftedFolder(const nlohmann::ordered_json& manifest) {
    std::string folder = out_.file("crafted-" + std::to_string(++crafted_));
    fs::create_directories(folder + "/settings/computer");
    {
      // As many items as the manifest counts, as in a real backup.
      Catalog catalog(folder + "/catalog.db");
      const auto items = manifest.find("Items");
      if (items != manifest.end() && items->is_number_integer())
        for (int i = 0; i < items->get<int>(); ++i)
          addItem(catalog, "crafted-" + std::to_string(i) + ".jpg");
    }
    writeFile(folder + "/manifest.json", manifest.dump(2));
    return folder;
  }

  testing::TempDir tmp_;
  testing::ScopedDataRoot root_;
  testing::TempDir out_;
  TimePoint now_ = kMarchFirst;
  std::unique_ptr<Catalog> catalog_;
  int crafted_ = 0;
};

// ---- Backup files ----

TEST_F(BackupServiceTest, CreateWritesTheLayoutAndTheManifestThatRealReadersAccept) {
  fillArchive();
  writeFile(data("watch.json"), "{\"folders\": []}");
  std::string dest = out_.file("family.quorvel-backup");

  BackupInfo info = BackupService::create(*catalog_, dest, "1.2.3", /*includeThumbnails=*/true);

  EXPECT_EQ(members(dest),
            (std::set<std::string>{"manifest.json", "catalog.db", "settings/", "settings/computer/",
                                   "settings/computer/watch.json", "thumbs/", "thumbs/aaa.jpg",
                                   "thumbs/bbb.jpg"}));
  unzip({"-tq", dest});  // throws when the archive is damaged
  std::string verbose = unzip({"-v", dest});
  for (const char* thumb : {"thumbs/aaa.jpg", "thumbs/bbb.jpg"}) {
    std::size_t line = verbose.rfind('\n', verbose.find(thumb));
    EXPECT_NE(verbose.find("Stored", line), std::string::npos) << thumb << " is compressed";
  }

  auto manifest = nlohmann::ordered_json::parse(unzip({"-p", dest, "manifest.json"}));
  std::vector<std::string> keys;
  for (auto& [key, value] : manifest.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"Format", "Created", "AppVersion", "Machine", "Items",
                                            "Transcribed", "People", "Thumbnails"}));
  EXPECT_EQ(manifest["Format"], 1);
  EXPECT_EQ(manifest["Created"], "2026-03-01T09:30:15.2500000+01:00");
  EXPECT_EQ(manifest["AppVersion"], "1.2.3");
  EXPECT_EQ(manifest["Machine"], "Test Computer");
  EXPECT_EQ(manifest["Items"], 3);
  EXPECT_EQ(manifest["Transcribed"], 2);
  EXPECT_EQ(manifest["People"], 1);
  EXPECT_EQ(manifest["Thumbnails"], true);

  // The copy inside is a whole, sound database with both full-text indexes intact.
  unzip({"-q", dest, "catalog.db", "-d", out_.file("x")});
  {
    Database copy(out_.file("x/catalog.db"));
    EXPECT_EQ(copy.query("PRAGMA integrity_check")[0].str("integrity_check"), "ok");
    copy.exec("INSERT INTO fts(fts) VALUES('integrity-check')");
    copy.exec("INSERT INTO translations_fts(translations_fts) VALUES('integrity-check')");
  }
  EXPECT_EQ(countRows(out_.file("x/catalog.db"), "items"), 3);

  EXPECT_EQ(info.path, dest);
  EXPECT_EQ(info.created, kMarchFirst - 250'000);  // read back from the text: whole seconds
  EXPECT_EQ(info.items, 3);
  EXPECT_EQ(info.transcribed, 2);
  EXPECT_EQ(info.people, 1);
  EXPECT_EQ(info.appVersion, "1.2.3");
  EXPECT_EQ(info.machine, "Test Computer");
  EXPECT_EQ(info.bytes, static_cast<std::int64_t>(fs::file_size(dest)));
  EXPECT_TRUE(info.includesThumbnails);
  EXPECT_EQ(BackupService::inspect(dest), info);

  // The staging folder, with its link to the live thumbnails, is gone; the thumbnails are not.
  EXPECT_TRUE(stagingLeftovers().empty());
  EXPECT_EQ(readFile(thumbs() + "/aaa.jpg"), "jpeg a");
  EXPECT_EQ(readFile(thumbs() + "/bbb.jpg"), "jpeg b");
  EXPECT_FALSE(fs::exists(dest + ".partial"));
}

TEST_F(BackupServiceTest, ThumbnailsOnlyWhenAskedForAndPresent) {
  fillArchive();
  writeFile(data("handwriting.json"), "{}");
  struct Case {
    bool ask;
    bool haveFolder;
    const char* name;
  } cases[] = {{false, true, "notAsked"}, {true, false, "askedWithoutFolder"}};
  for (const Case& c : cases) {
    if (!c.haveFolder) fs::remove_all(thumbs());
    std::string dest = out_.file(std::string(c.name) + ".quorvel-backup");
    BackupInfo info = BackupService::create(*catalog_, dest, "1", c.ask);
    EXPECT_EQ(members(dest), (std::set<std::string>{"manifest.json", "catalog.db", "settings/",
                                                    "settings/computer/", "settings/computer/handwriting.json"}))
        << c.name;
    EXPECT_EQ(nlohmann::json::parse(unzip({"-p", dest, "manifest.json"}))["Thumbnails"], c.ask)
        << c.name;
    EXPECT_EQ(info.includesThumbnails, c.ask) << c.name;
  }
}

TEST_F(BackupServiceTest, ComputerWithoutANameWritesComputer) {
  BackupService::useComputerName([] { return std::nullopt; });
  std::string dest = out_.file("b.quorvel-backup");
  EXPECT_EQ(BackupService::create(*catalog_, dest, "1", false).machine, "computer");
  EXPECT_EQ(nlohmann::json::parse(unzip({"-p", dest, "manifest.json"}))["Machine"], "computer");
}

TEST_F(BackupServiceTest, OverwriteReplacesTheFileButAFailedZipLeavesItUntouched) {
  std::string dest = out_.file("b.quorvel-backup");
  writeFile(dest, "old backup");
  BackupService::create(*catalog_, dest, "1", false);
  EXPECT_TRUE(BackupService::inspect(dest).has_value());

  std::string before = readFile(dest);
  // A ".partial" that cannot be removed or written makes zip fail.
  writeFile(dest + ".partial/blocker", "x");
  try {
    BackupService::create(*catalog_, dest, "1", false);
    ADD_FAILURE() << "zip did not fail";
  } catch (const Failure& failure) {
    EXPECT_TRUE(std::string(failure.what()).starts_with("zip failed: ")) << failure.what();
  }
  EXPECT_EQ(readFile(dest), before);
  EXPECT_TRUE(stagingLeftovers().empty());
}

TEST_F(BackupServiceTest, AFolderThatIsNotThereIsNamedBeforeAnythingIsCopied) {
  const std::string folder = out_.file("unplugged/Backups");
  try {
    BackupService::create(*catalog_, folder + "/b.quorvel-backup", "1", false);
    ADD_FAILURE() << "the backup did not fail";
  } catch (const Failure& failure) {
    EXPECT_EQ(std::string(failure.what()), "The folder " + folder + " is missing.");
  }
  EXPECT_TRUE(stagingLeftovers().empty());
  EXPECT_FALSE(fs::exists(out_.file("unplugged")));
}

TEST_F(BackupServiceTest, RelativeDestinationLandsBesideUsNotInTheStagingFolder) {
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(out_.path().c_str()), 0);
  BackupInfo info = BackupService::create(*catalog_, "relative.quorvel-backup", "1", false);
  ASSERT_EQ(chdir(here), 0);
  EXPECT_EQ(info.path, "relative.quorvel-backup");
  EXPECT_TRUE(BackupService::inspect(out_.file("relative.quorvel-backup")).has_value());
}

TEST_F(BackupServiceTest, CatalogCopyErrorIsThrownAndNothingIsLeft) {
  // The copy reads the file through a connection of its own: with the file gone it can't open.
  fs::remove(catalog_->filePath());
  EXPECT_THROW(BackupService::create(*catalog_, out_.file("b.quorvel-backup"), "1", false), SQLError);
  EXPECT_TRUE(stagingLeftovers().empty());
  EXPECT_FALSE(fs::exists(out_.file("b.quorvel-backup")));
}

TEST_F(BackupServiceTest, InspectRejectsWhatIsNotAReadableBackup) {
  writeFile(out_.file("text.quorvel-backup"), "just text");
  writeFile(out_.file("plain/readme.txt"), "hello");
  std::string plainZip = zipFolder(out_.file("plain"), "plain.zip");
  EXPECT_EQ(BackupService::inspect(out_.file("text.quorvel-backup")), std::nullopt);
  EXPECT_EQ(BackupService::inspect(plainZip), std::nullopt);
  EXPECT_EQ(BackupService::inspect(out_.file("missing.quorvel-backup")), std::nullopt);
  EXPECT_EQ(BackupService::inspect(out_.path()), std::nullopt);
  // unzip would read "plain.zip" for a missing "plain"; inspect must not.
  writeFile(out_.file("plain/catalog.db"), "x");
  writeFile(out_.file("plain/manifest.json"), manifestJson().dump());
  zipFolder(out_.file("plain"), "also.zip");
  EXPECT_EQ(BackupService::inspect(out_.file("also")), std::nullopt);
  // Only the member "catalog.db" itself counts, not a name that contains it.
  for (const char* name : {"old/catalog.db", "catalog.db.txt", "my-catalog.db"}) {
    std::string folder = craftedFolder(manifestJson());
    fs::create_directories(fs::path(folder + "/" + name).parent_path());
    fs::rename(folder + "/catalog.db", folder + "/" + name);
    std::string zip = zipFolder(folder, "mention-" + std::to_string(crafted_) + ".zip");
    EXPECT_EQ(BackupService::inspect(zip), std::nullopt) << name;
  }

  for (const char* key : {"Format", "Created", "AppVersion", "Machine", "Items", "Transcribed",
                          "People", "Thumbnails"}) {
    auto manifest = manifestJson();
    manifest.erase(key);
    std::string zip = zipFolder(craftedFolder(manifest), std::string("no-") + key + ".zip");
    EXPECT_EQ(BackupService::inspect(zip), std::nullopt) << "without " << key;
  }
  struct WrongType {
    const char* key;
    nlohmann::ordered_json value;
  } wrong[] = {{"Items", "3"}, {"Thumbnails", 1}, {"Created", 20260301}, {"Format", "1"},
               {"Machine", nullptr}, {"People", 1.5}};
  for (const WrongType& w : wrong) {
    auto manifest = manifestJson();
    manifest[w.key] = w.value;
    std::string zip = zipFolder(craftedFolder(manifest), std::string("wrong-") + w.key + ".zip");
    EXPECT_EQ(BackupService::inspect(zip), std::nullopt) << w.key << " = " << w.value.dump();
  }
  std::string notJson = craftedFolder(manifestJson());
  writeFile(notJson + "/manifest.json", "[1, 2");
  EXPECT_EQ(BackupService::inspect(zipFolder(notJson, "not-json.zip")), std::nullopt);
}

TEST_F(BackupServiceTest, InspectReadsAnyFormatAndEveryCreatedForm) {
  struct Case {
    const char* created;
    TimePoint want;
  } cases[] = {
      {"2026-03-01T09:30:00.1234567+01:00", 1'772'353'800 * kSecond},
      {"2026-03-01T09:30:00Z", 1'772'357'400 * kSecond},
      {"2026-03-01T09:30:00", 1'772'353'800 * kSecond},  // local time, UTC+1 here
      {"2026-03-01T09:30:00.5-02:30", 1'772'366'400 * kSecond},
      {"March 1", -62'135'596'800 * kSecond},
      {"2026-02-30T09:30:00Z", -62'135'596'800 * kSecond},
      {"2026-03-01T09:30:00Zjunk", -62'135'596'800 * kSecond},
  };
  for (const Case& c : cases) {
    auto manifest = manifestJson();
    manifest["Created"] = c.created;
    manifest["Format"] = 2;
    std::string zip = zipFolder(craftedFolder(manifest), "created-" + std::to_string(crafted_) + ".zip");
    std::optional<BackupInfo> info = BackupService::inspect(zip);
    ASSERT_TRUE(info.has_value()) << c.created;
    EXPECT_EQ(info->created, c.want) << c.created;
    EXPECT_EQ(info->items, 3);
    EXPECT_EQ(info->transcribed, 2);
    EXPECT_EQ(info->people, 1);
    EXPECT_EQ(info->machine, "Elsewhere");
    EXPECT_EQ(info->appVersion, "1.0.0");
    EXPECT_FALSE(info->includesThumbnails);
    EXPECT_EQ(info->bytes, static_cast<std::int64_t>(fs::file_size(zip)));
  }
}

// ---- Automatic backups ----

TEST_F(BackupServiceTest, AnEmptyCatalogNeverGetsAnAutomaticBackup) {
  EXPECT_EQ(BackupService::autoBackupIfDue(*catalog_, "1"), std::nullopt);
  EXPECT_TRUE(fs::is_empty(QuorvelPaths::backupDir()));
}

TEST_F(BackupServiceTest, AutomaticBackupIsWeeklyNamedByLocalTimeAndWithoutThumbnails) {
  fillArchive();
  std::optional<BackupInfo> first = BackupService::autoBackupIfDue(*catalog_, "1.0");
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->path, QuorvelPaths::backupDir() + "/auto-2026-03-01-0930.quorvel-backup");
  EXPECT_FALSE(first->includesThumbnails);
  EXPECT_EQ(members(first->path).count("thumbs/"), 0u);

  now_ = kMarchFirst + 6 * kDay + 86'399 * kSecond;
  EXPECT_EQ(BackupService::autoBackupIfDue(*catalog_, "1.0"), std::nullopt);
  now_ = kMarchFirst + 7 * kDay;
  std::optional<BackupInfo> second = BackupService::autoBackupIfDue(*catalog_, "1.0");
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->path, QuorvelPaths::backupDir() + "/auto-2026-03-08-0930.quorvel-backup");

  std::vector<BackupInfo> listed = BackupService::listAutomatic();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0], *second);
  EXPECT_EQ(listed[1], *first);
}

TEST_F(BackupServiceTest, OnlyTheFourNewestSurviveAndDamagedOnesAreLeftAlone) {
  fillArchive();
  writeFile(QuorvelPaths::backupDir() + "/auto-2000-01-01-0000.quorvel-backup", "damaged");
  writeFile(QuorvelPaths::backupDir() + "/before-restore-2000-01-01-000000.db", "kept");
  writeFile(QuorvelPaths::backupDir() + "/manual.quorvel-backup", "kept");
  std::vector<std::string> made;
  for (int week = 0; week < 5; ++week) {
    now_ = kMarchFirst + week * 7 * kDay;
    std::optional<BackupInfo> info = BackupService::autoBackupIfDue(*catalog_, "1");
    ASSERT_TRUE(info.has_value()) << week;
    made.push_back(info->path);
  }
  std::vector<BackupInfo> listed = BackupService::listAutomatic();
  ASSERT_EQ(listed.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(listed[i].path, made[4 - i]);
  EXPECT_FALSE(fs::exists(made[0]));
  for (const char* kept : {"auto-2000-01-01-0000.quorvel-backup",
                           "before-restore-2000-01-01-000000.db", "manual.quorvel-backup"})
    EXPECT_TRUE(fs::exists(QuorvelPaths::backupDir() + "/" + kept)) << kept;
}

TEST_F(BackupServiceTest, AnUnreadableCreatedCountsAsOld) {
  fillArchive();
  auto manifest = manifestJson();
  manifest["Created"] = "March 1";
  fs::create_directories(QuorvelPaths::backupDir());
  fs::copy_file(zipFolder(craftedFolder(manifest), "old.zip"),
                QuorvelPaths::backupDir() + "/auto-2026-03-01-0900.quorvel-backup");
  ASSERT_EQ(BackupService::listAutomatic().size(), 1u);
  std::optional<BackupInfo> made = BackupService::autoBackupIfDue(*catalog_, "1");
  ASSERT_TRUE(made.has_value());
  std::vector<BackupInfo> listed = BackupService::listAutomatic();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].path, made->path);  // the unreadable date sorts last
}

// ---- Staged restore ----

TEST_F(BackupServiceTest, StageCancelAndApplyWithThumbnailsSettingsAndRepointing) {
  fillArchive();
  writeFile(data("watch.json"), "{\"from\": \"live\"}");
  writeFile(data("handwriting.json"), "{\"live\": true}");
  writeFile(thumbs() + "/ccc.jpg", "live c");  // the backup's ccc.jpg must not replace it
  std::string backup = otherBackup(/*withThumbs=*/true);

  EXPECT_FALSE(BackupService::restorePending());
  BackupInfo staged = BackupService::stageRestore(backup);
  EXPECT_EQ(staged, *BackupService::inspect(backup));
  EXPECT_TRUE(BackupService::restorePending());
  for (const char* file : {"catalog.db", "manifest.json", "settings/computer/watch.json",
                           "thumbs/aaa.jpg", "thumbs/ccc.jpg"})
    EXPECT_TRUE(fs::exists(staging() + "/" + file)) << file;
  EXPECT_FALSE(fs::exists(staging() + "/catalog.db-wal"));
  EXPECT_FALSE(fs::exists(staging() + "/catalog.db-shm"));
  EXPECT_EQ(readFile(staging() + "/source.txt"), backup);
  EXPECT_EQ(countRows(QuorvelPaths::catalogFile(), "items"), 3);  // live untouched

  BackupService::cancelPendingRestore();
  EXPECT_FALSE(BackupService::restorePending());
  EXPECT_FALSE(fs::exists(staging()));

  BackupService::stageRestore(backup);
  catalog_.reset();  // at launch nothing holds the live catalog yet
  now_ = kMarchFirst + 2 * kSecond;
  EXPECT_EQ(BackupService::applyPendingRestore(),
            "Restored from other.quorvel-backup. Your previous library was set aside in the "
            "backups folder.");

  std::string setAside = QuorvelPaths::backupDir() + "/before-restore-2026-03-01-093017.db";
  EXPECT_EQ(countRows(setAside, "items"), 3);
  EXPECT_FALSE(fs::exists(staging()));
  EXPECT_FALSE(BackupService::restorePending());
  EXPECT_EQ(readFile(data("watch.json")), "{\"from\": \"backup\"}");
  EXPECT_EQ(readFile(data("handwriting.json")), "{\"live\": true}");  // not in the backup
  EXPECT_EQ(readFile(thumbs() + "/aaa.jpg"), "jpeg a");               // existing: kept
  EXPECT_EQ(readFile(thumbs() + "/bbb.jpg"), "jpeg b");
  EXPECT_EQ(readFile(thumbs() + "/ccc.jpg"), "live c");

  Catalog restored(QuorvelPaths::catalogFile());
  std::vector<ArchiveItem> items = restored.allItems();
  ASSERT_EQ(items.size(), 2u);
  std::set<std::string> thumbPaths;
  for (const ArchiveItem& item : items) thumbPaths.insert(item.thumbnailPath.value_or(""));
  EXPECT_EQ(thumbPaths, (std::set<std::string>{thumbs() + "/aaa.jpg", thumbs() + "/ccc.jpg"}));
}

TEST_F(BackupServiceTest, ABackupWithoutThumbnailsKeepsThemAndMissingThumbnailsAreAdded) {
  fillArchive();
  std::string backup = otherBackup(/*withThumbs=*/false);
  BackupService::stageRestore(backup);
  catalog_.reset();
  ASSERT_TRUE(BackupService::applyPendingRestore().has_value());
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(thumbs())) names.insert(entry.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"aaa.jpg", "bbb.jpg"}));

  fs::remove(thumbs() + "/aaa.jpg");
  BackupService::stageRestore(otherBackup(/*withThumbs=*/true));
  ASSERT_TRUE(BackupService::applyPendingRestore().has_value());
  EXPECT_EQ(readFile(thumbs() + "/aaa.jpg"), "backup a");
  EXPECT_EQ(readFile(thumbs() + "/bbb.jpg"), "jpeg b");
  EXPECT_EQ(readFile(thumbs() + "/ccc.jpg"), "backup c");
}

TEST_F(BackupServiceTest, TheReaderSettingsTravelWithTheBackup) {
  HandwritingSettings saved;
  saved.serverPath = "/opt/reader/llama-server";
  saved.tileHeight = 700;
  saved.save();
  std::string dest = out_.file("settings.quorvel-backup");
  BackupService::create(*catalog_, dest, "1", false);
  HandwritingSettings{}.save();
  ASSERT_NE(HandwritingSettings::load(), saved);

  BackupService::stageRestore(dest);
  catalog_.reset();
  ASSERT_TRUE(BackupService::applyPendingRestore().has_value());
  EXPECT_EQ(HandwritingSettings::load(), saved);
}

TEST_F(BackupServiceTest, WithoutSourceOrLiveCatalogTheRestoreStillCompletes) {
  std::string backup = otherBackup(false);
  BackupService::stageRestore(backup);
  fs::remove(staging() + "/source.txt");
  catalog_.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(QuorvelPaths::catalogFile() + suffix);
  EXPECT_EQ(BackupService::applyPendingRestore(),
            "Restored from a backup. Your previous library was set aside in the backups folder.");
  EXPECT_EQ(countRows(QuorvelPaths::catalogFile(), "items"), 2);
  EXPECT_TRUE(fs::is_empty(QuorvelPaths::backupDir()));
}

TEST_F(BackupServiceTest, NothingStagedChangesNothing) {
  fillArchive();
  catalog_.reset();
  std::string before = readFile(QuorvelPaths::catalogFile());
  EXPECT_EQ(BackupService::applyPendingRestore(), std::nullopt);
  EXPECT_EQ(readFile(QuorvelPaths::catalogFile()), before);
  EXPECT_FALSE(fs::exists(QuorvelPaths::backupDir()));
}

TEST_F(BackupServiceTest, StagingANonBackupKeepsTheEarlierStagedRestore) {
  BackupService::stageRestore(otherBackup(false));
  writeFile(out_.file("photo.jpg"), "not a zip");
  try {
    BackupService::stageRestore(out_.file("photo.jpg"));
    ADD_FAILURE() << "staged";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.message(), kNotABackup);
  }
  EXPECT_TRUE(BackupService::restorePending());
}

TEST_F(BackupServiceTest, ACatalogThatIsNotADatabaseFailsStagingAndLeavesNoStagingFolder) {
  BackupService::stageRestore(otherBackup(false));
  std::string garbage = craftedFolder(manifestJson());
  writeFile(garbage + "/catalog.db", std::string(4096, 'x'));
  std::string zip = zipFolder(garbage, "garbage-catalog.zip");
  ASSERT_TRUE(BackupService::inspect(zip).has_value());
  try {
    BackupService::stageRestore(zip);
    ADD_FAILURE() << "staged";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.message(), kCatalogUnreadable);
  }
  EXPECT_FALSE(fs::exists(staging()));
  EXPECT_FALSE(BackupService::restorePending());
  EXPECT_EQ(countRows(QuorvelPaths::catalogFile(), "items"), 0);
}

TEST_F(BackupServiceTest, ADamagedEmptyForeignOrMiscountedCatalogIsNeverStaged) {
  fillArchive();
  // A catalog of many pages with some of them overwritten: it still opens.
  std::string damaged = craftedFolder(manifestJson());
  {
    Catalog catalog(damaged + "/catalog.db");
    for (int i = 0; i < 300; ++i) {
      std::int64_t id = addItem(catalog, "page-" + std::to_string(i) + ".jpg");
      catalog.saveCorrectedText(id, "A long letter about the harvest, line " + std::string(200, 'a' + i % 26));
    }
  }
  {
    Database db(damaged + "/catalog.db");
    db.exec("DELETE FROM items WHERE file_name LIKE 'page-%'");  // back to the manifest's 3 items...
  }
  std::string bytes = readFile(damaged + "/catalog.db");
  ASSERT_GT(bytes.size(), 40u * 4096u);
  std::fill(bytes.begin() + 12 * 4096, bytes.begin() + 20 * 4096, '\x5a');  // ...and damaged pages
  writeFile(damaged + "/catalog.db", bytes);

  std::string empty = craftedFolder(manifestJson());
  writeFile(empty + "/catalog.db", "");
  std::string foreign = craftedFolder(manifestJson());
  fs::remove(foreign + "/catalog.db");
  {
    Database db(foreign + "/catalog.db");
    db.exec("CREATE TABLE notes (id INTEGER PRIMARY KEY, body TEXT)");
  }
  auto twenty = manifestJson();
  twenty["Items"] = 20;
  std::string miscounted = craftedFolder(manifestJson());
  writeFile(miscounted + "/manifest.json", twenty.dump(2));  // 3 items, the manifest says 20

  struct Case {
    std::string zip;
    const char* name;
  } cases[] = {
      {zipFolder(damaged, "damaged.zip"), "damagedPages"},
      {zipFolder(empty, "empty.zip"), "emptyFile"},
      {zipFolder(foreign, "foreign.zip"), "anotherProgramsDatabase"},
      {zipFolder(miscounted, "miscounted.zip"), "fewerItemsThanTheManifest"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(BackupService::inspect(c.zip).has_value()) << c.name;
    try {
      BackupService::stageRestore(c.zip);
      ADD_FAILURE() << c.name << ": staged";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.message(), kNotABackup) << c.name;
    }
    EXPECT_FALSE(fs::exists(staging())) << c.name;
    EXPECT_EQ(BackupService::applyPendingRestore(), std::nullopt) << c.name;
  }
  EXPECT_EQ(countRows(QuorvelPaths::catalogFile(), "items"), 3);

  // Staged by other means, a damaged catalog is not applied either.
  catalog_.reset();
  const std::string live = ImageTools::sha256(QuorvelPaths::catalogFile());
  fs::create_directories(staging());
  fs::copy_file(damaged + "/catalog.db", staging() + "/catalog.db");
  EXPECT_EQ(BackupService::applyPendingRestore(),
            "The restore couldn't be finished, so your library is unchanged.");
  EXPECT_EQ(ImageTools::sha256(QuorvelPaths::catalogFile()), live);
  EXPECT_FALSE(fs::exists(staging()));
}

TEST_F(BackupServiceTest, ABackupThatWouldUnpackBeyondItsSizeOrTheFreeSpaceIsRefusedBeforeUnpacking) {
  fillArchive();
  std::string good = otherBackup(false);
  BackupService::stageRestore(good);
  // 100 MiB of zeros among the thumbnails: a backup of about 100 KB.
  std::string folder = craftedFolder(manifestJson());
  fs::create_directories(folder + "/thumbs");
  writeFile(folder + "/thumbs/zeros.jpg", "");
  fs::resize_file(folder + "/thumbs/zeros.jpg", 100 << 20);
  std::string zip = zipFolder(folder, "expands.zip");
  ASSERT_LT(fs::file_size(zip), 1u << 20);
  ASSERT_TRUE(BackupService::inspect(zip).has_value());
  try {
    BackupService::stageRestore(zip);
    ADD_FAILURE() << "staged";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.message(),
              "That backup would unpack to far more than its own size, so it's damaged and nothing "
              "was changed.");
  }
  // Nothing was unpacked: the restore staged before is still there, whole.
  EXPECT_EQ(readFile(staging() + "/source.txt"), good);
  EXPECT_FALSE(fs::exists(staging() + "/thumbs/zeros.jpg"));

  // On a small disk a backup that fits its size is refused for the space, and says so.
  std::string fits = craftedFolder(manifestJson());
  writeFile(fits + "/thumbs/photo.jpg", std::string(1 << 20, 'j'));
  std::string fitsZip = zipFolder(fits, "fits.zip");
  BackupService::useFreeSpace([] { return std::optional<std::int64_t>(20 << 20); });
  try {
    BackupService::stageRestore(fitsZip);
    ADD_FAILURE() << "staged";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.message(), "There isn't enough free space to unpack that backup, so nothing was changed.");
  }
  EXPECT_EQ(readFile(staging() + "/source.txt"), good);
  BackupService::useFreeSpace([] { return std::optional<std::int64_t>(64 << 20); });
  EXPECT_EQ(BackupService::stageRestore(fitsZip).path, fitsZip) << "with room enough it stages";
  BackupService::stageRestore(good);
  catalog_.reset();
  ASSERT_TRUE(BackupService::applyPendingRestore().has_value());
  EXPECT_FALSE(fs::exists(thumbs() + "/zeros.jpg"));
}

TEST_F(BackupServiceTest, CommittedRowsInAnUncheckpointedLogReachTheSetAsideCatalog) {
  fillArchive();
  catalog_.reset();
  // A second connection writes the last row and is never closed: the row lives only in the
  // write-ahead log while the catalog is set aside.
  auto writer = std::make_unique<Database>(QuorvelPaths::catalogFile());
  writer->run("INSERT INTO people (name) VALUES ('Last Person')");
  ASSERT_GT(ModelDownloader::size(QuorvelPaths::catalogFile() + "-wal"), 0);

  BackupService::stageRestore(otherBackup(false));
  ASSERT_TRUE(BackupService::applyPendingRestore().has_value());

  std::string setAside = QuorvelPaths::backupDir() + "/before-restore-2026-03-01-093015.db";
  ASSERT_TRUE(fs::exists(setAside));
  {
    Database copy(setAside, /*readOnly=*/true);
    EXPECT_EQ(copy.query("SELECT COUNT(*) AS n FROM people WHERE name = 'Last Person'")[0].int64("n"), 1);
    EXPECT_EQ(copy.query("SELECT COUNT(*) AS n FROM items")[0].int64("n"), 3);
  }
  writer.reset();
}

TEST_F(BackupServiceTest, ALogThatCannotBeFoldedInIsCarriedAlongWithTheSetAsideCatalog) {
  fillArchive();
  catalog_.reset();
  // A reader whose snapshot predates the last row keeps the checkpoint from copying it.
  auto reader = std::make_unique<Database>(QuorvelPaths::catalogFile());
  auto writer = std::make_unique<Database>(QuorvelPaths::catalogFile());
  reader->exec("BEGIN");
  reader->query("SELECT COUNT(*) AS n FROM items");
  writer->run("INSERT INTO people (name) VALUES ('Last Person')");

  BackupService::stageRestore(otherBackup(false));
  ASSERT_TRUE(BackupService::applyPendingRestore().has_value());
  std::string setAside = QuorvelPaths::backupDir() + "/before-restore-2026-03-01-093015.db";
  EXPECT_GT(ModelDownloader::size(setAside + "-wal"), 0);
  reader->exec("COMMIT");
  reader.reset();
  writer.reset();
  Database copy(setAside);
  EXPECT_EQ(copy.query("SELECT COUNT(*) AS n FROM people WHERE name = 'Last Person'")[0].int64("n"), 1);
}

TEST_F(BackupServiceTest, LinksAndProgramsInABackupFailTheRestoreAndHarmNothing) {
  fillArchive();
  const std::string liveThumbs = fs::absolute(thumbs()).string();
  struct Case {
    const char* link;
    std::string target;
  } cases[] = {
      {"thumbs", liveThumbs},
      {"settings/computer/watch.json", "/etc/passwd"},
      {"catalog.db", QuorvelPaths::catalogFile()},
  };
  for (const Case& c : cases) {
    std::string folder = craftedFolder(manifestJson());
    fs::remove(folder + "/" + c.link);
    fs::create_symlink(c.target, folder + "/" + c.link);
    std::string zip = zipFolder(folder, "link-" + std::to_string(crafted_) + ".zip");
    ASSERT_TRUE(BackupService::inspect(zip).has_value()) << c.link;
    try {
      BackupService::stageRestore(zip);
      ADD_FAILURE() << c.link << ": staged";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.message(), kCatalogUnreadable) << c.link;
    }
    EXPECT_FALSE(fs::exists(staging())) << c.link;
    EXPECT_EQ(readFile(thumbs() + "/aaa.jpg"), "jpeg a") << c.link;
    EXPECT_EQ(readFile(thumbs() + "/bbb.jpg"), "jpeg b") << c.link;
  }
  EXPECT_EQ(countRows(QuorvelPaths::catalogFile(), "items"), 3);

  // Execute bits (and set-id bits) do not survive staging.
  std::string folder = craftedFolder(manifestJson());
  writeFile(folder + "/settings/computer/watch.json", "#!/bin/sh\necho planted\n");
  writeFile(folder + "/thumbs/run.jpg", "#!/bin/sh\n");
  fs::permissions(folder + "/settings/computer/watch.json", fs::perms(0755));
  fs::permissions(folder + "/thumbs/run.jpg", fs::perms(04755));
  BackupService::stageRestore(zipFolder(folder, "programs.zip"));
  for (const char* file : {"settings/computer/watch.json", "thumbs/run.jpg", "catalog.db"}) {
    struct stat info;
    ASSERT_EQ(::lstat((staging() + "/" + file).c_str(), &info), 0) << file;
    EXPECT_EQ(info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH | S_ISUID | S_ISGID), 0u) << file;
  }
}

TEST_F(BackupServiceTest, RemovingTheStagingFolderNeverFollowsALink) {
  fillArchive();
  BackupService::stageRestore(otherBackup(true));
  // Whatever appears in the staging folder later, removing it only unlinks links.
  fs::create_directory_symlink(fs::absolute(thumbs()), staging() + "/planted");
  fs::create_directory_symlink(fs::absolute(thumbs()), staging() + "/thumbs/inner");
  BackupService::cancelPendingRestore();
  EXPECT_FALSE(fs::exists(staging()));
  EXPECT_EQ(readFile(thumbs() + "/aaa.jpg"), "jpeg a");
  EXPECT_EQ(readFile(thumbs() + "/bbb.jpg"), "jpeg b");

  // A staged thumbs folder swapped for a link after staging is not used either.
  BackupService::stageRestore(otherBackup(true));
  fs::remove_all(staging() + "/thumbs");
  writeFile(out_.file("elsewhere/zzz.jpg"), "elsewhere");
  fs::create_directory_symlink(out_.file("elsewhere"), staging() + "/thumbs");
  catalog_.reset();
  ASSERT_TRUE(BackupService::applyPendingRestore().has_value());
  EXPECT_FALSE(fs::exists(thumbs() + "/zzz.jpg"));
  EXPECT_EQ(readFile(out_.file("elsewhere/zzz.jpg")), "elsewhere");
}

TEST_F(BackupServiceTest, AStagedCatalogThatIsNotAFileFailsTheRestoreAndKeepsTheLiveOne) {
  fillArchive();
  catalog_.reset();
  std::string before = readFile(QuorvelPaths::catalogFile());
  fs::create_directories(staging() + "/catalog.db/inside");
  EXPECT_TRUE(BackupService::restorePending());
  EXPECT_EQ(BackupService::applyPendingRestore(),
            "The restore couldn't be finished, so your library is unchanged.");
  EXPECT_EQ(readFile(QuorvelPaths::catalogFile()), before);
  EXPECT_FALSE(fs::exists(staging()));
}

}  // namespace
}  // namespace quorvel
