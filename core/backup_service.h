#pragma once
// Backup files, the weekly automatic backup and the restore staged for the next launch.
//
// A backup file is a zip archive (made and read by /usr/bin/zip and /usr/bin/unzip) holding
// "manifest.json", "catalog.db" (a consistent copy of the catalog), "settings/computer/" with the
// settings files that existed, and, when asked for, "thumbs/" stored without compression.
//
// Every operation is blocking and runs on the caller's thread while the tools run: call it from
// a worker, never from the GUI thread. No state is kept apart from the test seams, which any
// thread may set.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/models.h"

namespace quorvel {

class Catalog;

// What is known of one backup file; identified by its path.
struct BackupInfo {
  std::string path;
  TimePoint created = 0;  // from the manifest, whole seconds
  std::int64_t items = 0;
  std::int64_t transcribed = 0;
  std::int64_t people = 0;
  std::string appVersion;
  std::string machine;  // name of the computer that made it
  std::int64_t bytes = 0;  // size of the backup file
  bool includesThumbnails = false;  // whether thumbnails were asked for

  const std::string& id() const { return path; }
  bool operator==(const BackupInfo&) const = default;
};

namespace BackupService {

inline constexpr const char* fileExtension = "quorvel-backup";  // without the dot

// Writes a backup of the live archive to `to`, replacing a file there only once the new archive
// is complete, and describes it. Throws a Failure when the folder of `to` is missing (before
// anything is copied), the platform's error (staging folder, manifest, link, final move), the
// catalog's SQLError from its copy, or the runner's Failure when zip fails.
// The temporary staging folder never survives; a failed run may leave "<to>.partial".
BackupInfo create(Catalog& catalog, const std::string& to, const std::string& appVersion,
                  bool includeThumbnails);

// The description of a backup file, or none when it is not a readable backup (not a zip, no
// member "catalog.db" itself, a manifest missing or with a key missing or of the wrong type).
std::optional<BackupInfo> inspect(const std::string& path);

// The readable automatic backups ("auto-*.quorvel-backup" in the backups folder), newest first.
std::vector<BackupInfo> listAutomatic();

// Makes an automatic backup without thumbnails when the catalog has items and the newest
// automatic backup is at least 7 days old (or there is none), then keeps only the four newest.
// Returns the new backup, or none when none was due or making it failed.
std::optional<BackupInfo> autoBackupIfDue(Catalog& catalog, const std::string& appVersion);

// Unpacks the backup into the data folder's "restore-pending" for the next launch, replacing a
// restore staged before, and test-opens its catalog (bringing its schema up to date). Before
// unpacking, throws Failure("That file isn't a Quorvel Ink backup, or it's damaged.") when
// inspect() rejects it, Failure("That backup would unpack to far more than its own size, so
// it's damaged and nothing was changed.") when its members declare more than 100 times its size
// (and more than 64 MiB), and Failure("There isn't enough free space to unpack that backup, so
// nothing was changed.") when they would not fit on the disk; an earlier staged restore is then
// left as it was. After unpacking (no staging folder is left on failure): the first sentence
// again when the catalog is empty, another program's database, fails SQLite's quick check or
// holds another number of items than the manifest says, and Failure("The catalog inside that
// backup couldn't be opened, so nothing was changed.") when unpacking or opening fails or the
// archive holds anything but plain files and folders. The live archive is never touched.
BackupInfo stageRestore(const std::string& path);

// Whether a restore is staged.
bool restorePending();

// Drops a staged restore; errors are ignored.
void cancelPendingRestore();

// Completes a staged restore: the live catalog is set aside in the backups folder as
// "before-restore-<yyyy-MM-dd-HHmmss>.db" (its write-ahead log folded in first), the staged
// catalog and settings files move into place, and missing thumbnails are added. Returns the
// sentence for the user, or none when nothing was staged. A staged catalog that is not a whole
// catalog of ours (quick check, tables) fails the restore and the live one stays. Call at launch, after the data folder
// exists and before anything opens the live catalog. Never throws; the staging folder is gone
// afterwards whatever happened.
std::optional<std::string> applyPendingRestore();

// Test seams. An empty function puts back the system's clock, the computer's host name or the
// free space of the data folder's disk. The name function may answer none (or "") for a
// computer without a name; the space function none for a disk that cannot be asked.
void useClock(std::function<TimePoint()> now);
void useComputerName(std::function<std::optional<std::string>()> name);
void useFreeSpace(std::function<std::optional<std::int64_t>()> bytes);

}  // namespace BackupService

}  // namespace quorvel
