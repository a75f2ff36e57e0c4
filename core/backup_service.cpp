// Backup files, automatic backups and the staged restore.
#include "core/backup_service.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string_view>
#include <system_error>

#include "core/catalog.h"
#include "core/failure.h"
#include "core/model_delivery.h"
#include "core/paths.h"
#include "core/text.h"

namespace quorvel {

namespace fs = std::filesystem;

namespace {

constexpr const char* kZip = "/usr/bin/zip";
constexpr const char* kUnzip = "/usr/bin/unzip";
constexpr std::int64_t kMicrosPerSecond = 1'000'000;
constexpr std::int64_t kWeekMicros = 604'800 * kMicrosPerSecond;
constexpr std::size_t kAutomaticKept = 4;
// 0001-01-01T00:00:00Z, what a "Created" text that cannot be read stands for.
constexpr TimePoint kDistantPast = -62'135'596'800LL * kMicrosPerSecond;

const std::vector<std::string> kSettingsFiles = {"watch.json", "handwriting.json"};

// ---- Files ----

bool lexists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

bool isPlainFile(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isPlainFolder(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Removes `name` under the open folder `parent`, and everything in it when it is a folder.
// Every step is relative to a descriptor opened with O_NOFOLLOW, so a symbolic link is only
// ever unlinked, never followed, even one swapped in while the removal runs.
void removeTreeAt(int parent, const char* name) {
  struct stat info;
  if (::fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISDIR(info.st_mode)) {
    ::unlinkat(parent, name, 0);
    return;
  }
  int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == EACCES && ::fchmodat(parent, name, 0700, AT_SYMLINK_NOFOLLOW) == 0)
    fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    if (DIR* dir = ::fdopendir(fd)) {
      std::vector<std::string> entries;
      while (dirent* entry = ::readdir(dir)) {
        std::string_view entryName = entry->d_name;
        if (entryName != "." && entryName != "..") entries.emplace_back(entryName);
      }
      for (const std::string& entry : entries) removeTreeAt(::dirfd(dir), entry.c_str());
      ::closedir(dir);  // closes fd
    } else {
      ::close(fd);
    }
  }
  ::unlinkat(parent, name, AT_REMOVEDIR);
}

void removeQuietly(const std::string& path) { ::unlink(path.c_str()); }

// Errors are ignored: what cannot be removed stays.
void removeTree(const std::string& path) {
  if (!path.empty()) removeTreeAt(AT_FDCWD, path.c_str());
}

// unzip restores symbolic links, devices and execute bits. Leaves every file below `folder`
// readable and writable by us but executable by no one, and every folder enterable by us; then
// fails when anything there is neither a plain file nor a plain folder. Nothing is followed.
bool tameTree(const std::string& folder) {
  bool plain = true;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string path = it->path().string();
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) {
      plain = false;
    } else if (S_ISDIR(info.st_mode)) {
      if (::chmod(path.c_str(), (info.st_mode & 0777) | 0700) != 0) plain = false;
      if (!tameTree(path)) plain = false;
    } else if (S_ISREG(info.st_mode)) {
      if (::chmod(path.c_str(), (info.st_mode & 0666) | 0600) != 0) plain = false;
    } else {
      plain = false;
    }
  }
  return plain && !error;
}

std::mutex& seamLock() {
  static std::mutex lock;
  return lock;
}
std::function<TimePoint()>& clockSeam() {
  static std::function<TimePoint()> now;
  return now;
}
std::function<std::optional<std::int64_t>()>& freeSpaceSeam() {
  static std::function<std::optional<std::int64_t>()> bytes;
  return bytes;
}
std::function<std::optional<std::string>()>& nameSeam() {
  static std::function<std::optional<std::string>()> name;
  return name;
}

std::optional<std::string> hostName() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return std::nullopt;
  return std::string(buffer);
}

TimePoint currentTime() {
  std::function<TimePoint()> clock;
  {
    std::lock_guard guard(seamLock());
    clock = clockSeam();
  }
  return clock ? clock() : nowMicros();
}

// The computer's name, or "computer" when it has none.
std::string computerName() {
  std::function<std::optional<std::string>()> seam;
  {
    std::lock_guard guard(seamLock());
    seam = nameSeam();
  }
  std::optional<std::string> name = seam ? seam() : hostName();
  return name && !name->empty() ? *name : "computer";
}

// ---- Local time ----

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::tm localParts(TimePoint time) {
  std::time_t seconds = static_cast<std::time_t>(floorDiv(time, kMicrosPerSecond));
  std::tm parts{};
  ::tzset();  // localtime_r need not notice a changed TZ by itself
  ::localtime_r(&seconds, &parts);
  return parts;
}

std::string format(const char* pattern, auto... values) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, pattern, values...);
  return buffer;
}

// "yyyy-MM-dd-HHmm" (minutes) or "yyyy-MM-dd-HHmmss" (seconds), local time.
std::string localFileTime(TimePoint time, bool withSeconds) {
  std::tm t = localParts(time);
  std::string text = format("%04d-%02d-%02d-%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                            t.tm_hour, t.tm_min);
  if (withSeconds) text += format("%02d", t.tm_sec);
  return text;
}

// The "Created" text: "yyyy-MM-dd'T'HH:mm:ss.SSSSSSSXXXXX" in local time.
std::string stamp(TimePoint time) {
  std::tm t = localParts(time);
  std::int64_t micros = time - floorDiv(time, kMicrosPerSecond) * kMicrosPerSecond;
  std::string text = format("%04d-%02d-%02dT%02d:%02d:%02d.%06lld0", t.tm_year + 1900,
                            t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                            static_cast<long long>(micros));
  long offset = t.tm_gmtoff;
  if (offset == 0) return text + "Z";
  char sign = offset < 0 ? '-' : '+';
  offset = offset < 0 ? -offset : offset;
  text += format("%c%02ld:%02ld", sign, offset / 3600, offset / 60 % 60);
  if (offset % 60 != 0) text += format(":%02ld", offset % 60);
  return text;
}

bool readNumber(std::string_view text, std::size_t at, std::size_t digits, int& out) {
  if (at + digits > text.size()) return false;
  out = 0;
  for (std::size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Reads "yyyy-MM-dd'T'HH:mm:ss" at the start of the text, with every field in range.
bool readDateTime(std::string_view text, std::tm& t) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int year, month, day, hour, minute, second;
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':')
    return false;
  if (!readNumber(text, 0, 4, year) || !readNumber(text, 5, 2, month) ||
      !readNumber(text, 8, 2, day) || !readNumber(text, 11, 2, hour) ||
      !readNumber(text, 14, 2, minute) || !readNumber(text, 17, 2, second))
    return false;
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return false;
  int monthDays = kDays[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
  if (day > monthDays) return false;
  t = std::tm{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return true;
}

// A zone "Z", "+hh:mm" or "+hh:mm:ss" (or with "-"); its offset east of UTC in seconds.
std::optional<long> readZone(std::string_view zone) {
  if (zone == "Z") return 0;
  if (zone.size() != 6 && zone.size() != 9) return std::nullopt;
  if (zone[0] != '+' && zone[0] != '-') return std::nullopt;
  int hours, minutes, seconds = 0;
  if (!readNumber(zone, 1, 2, hours) || zone[3] != ':' || !readNumber(zone, 4, 2, minutes))
    return std::nullopt;
  if (zone.size() == 9 && (zone[6] != ':' || !readNumber(zone, 7, 2, seconds)))
    return std::nullopt;
  if (hours > 23 || minutes > 59 || seconds > 59) return std::nullopt;
  long offset = hours * 3600L + minutes * 60L + seconds;
  return zone[0] == '-' ? -offset : offset;
}

// The "Created" text back to a point in time: fractional seconds dropped, then read with a
// zone, else as local time; the distant past when neither reads.
TimePoint parse(std::string_view created) {
  // Drop every "." followed by digits (any Unicode decimal digits, as \d means).
  std::vector<char32_t> points = text::codePoints(created);
  std::vector<char32_t> kept;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (points[i] == U'.' && i + 1 < points.size() && text::isDigit(points[i + 1])) {
      ++i;
      while (i + 1 < points.size() && text::isDigit(points[i + 1])) ++i;
      continue;
    }
    kept.push_back(points[i]);
  }
  std::string text = text::fromCodePoints(kept);
  std::tm t{};
  if (!readDateTime(text, t)) return kDistantPast;
  std::string_view rest = std::string_view(text).substr(19);
  if (!rest.empty()) {
    std::optional<long> offset = readZone(rest);
    if (!offset) return kDistantPast;
    return (static_cast<std::int64_t>(::timegm(&t)) - *offset) * kMicrosPerSecond;
  }
  ::tzset();
  t.tm_isdst = -1;
  return static_cast<std::int64_t>(::mktime(&t)) * kMicrosPerSecond;
}

// ---- Manifest ----

using OrderedJson = nlohmann::ordered_json;

std::string encodeManifest(const std::string& created, const std::string& appVersion,
                           const std::string& machine, const CatalogStats& stats,
                           bool thumbnails) {
  OrderedJson manifest;
  manifest["Format"] = 1;
  manifest["Created"] = created;
  manifest["AppVersion"] = appVersion;
  manifest["Machine"] = machine;
  manifest["Items"] = stats.items;
  manifest["Transcribed"] = stats.transcribed;
  manifest["People"] = stats.people;
  manifest["Thumbnails"] = thumbnails;
  return manifest.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Every key required, each of its type; "Format" is read but its value ignored.
std::optional<BackupInfo> decodeManifest(const std::string& text) {
  nlohmann::json manifest = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!manifest.is_object()) return std::nullopt;
  auto integer = [&](const char* key) -> std::optional<std::int64_t> {
    auto it = manifest.find(key);
    if (it == manifest.end() || !it->is_number_integer()) return std::nullopt;
    if (it->is_number_unsigned() && it->get<std::uint64_t>() > INT64_MAX) return std::nullopt;
    return it->get<std::int64_t>();
  };
  auto string = [&](const char* key) -> std::optional<std::string> {
    auto it = manifest.find(key);
    if (it == manifest.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  auto formatVersion = integer("Format");
  auto created = string("Created");
  auto appVersion = string("AppVersion");
  auto machine = string("Machine");
  auto items = integer("Items");
  auto transcribed = integer("Transcribed");
  auto people = integer("People");
  auto thumbnails = manifest.find("Thumbnails");
  if (!formatVersion || !created || !appVersion || !machine || !items || !transcribed || !people ||
      thumbnails == manifest.end() || !thumbnails->is_boolean())
    return std::nullopt;
  BackupInfo info;
  info.created = parse(*created);
  info.items = *items;
  info.transcribed = *transcribed;
  info.people = *people;
  info.appVersion = *appVersion;
  info.machine = *machine;
  info.includesThumbnails = thumbnails->get<bool>();
  return info;
}

// ---- Staging folder of a backup being made ----

std::string randomTag() {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::random_device random;
  std::string tag;
  for (int i = 0; i < 8; ++i) tag += kHex[random() % 16];
  return tag;
}

// A new, empty folder only we can enter. mkdir() refuses an existing name, so nothing planted
// in the shared temporary folder (a link, say) is ever used as ours.
std::string makeStagingFolder() {
  const std::string base = (fs::temp_directory_path() / "quorvel-backup-").string();
  for (int attempt = 0;; ++attempt) {
    std::string path = base + randomTag();
    if (::mkdir(path.c_str(), 0700) == 0) return path;
    if (errno != EEXIST || attempt == 16)
      throw std::system_error(errno, std::system_category(), path);
  }
}

// Whether a listing of member names, one a line, holds `name` as a whole line.
bool hasMember(std::string_view listing, std::string_view name) {
  while (!listing.empty()) {
    const std::size_t end = std::min(listing.find('\n'), listing.size());
    std::string_view line = listing.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line == name) return true;
    listing.remove_prefix(std::min(end + 1, listing.size()));
  }
  return false;
}

class TreeRemover {
 public:
  explicit TreeRemover(std::string path) : path_(std::move(path)) {}
  ~TreeRemover() { removeTree(path_); }
  TreeRemover(const TreeRemover&) = delete;
  TreeRemover& operator=(const TreeRemover&) = delete;

 private:
  std::string path_;
};

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out) throw std::system_error(errno ? errno : EIO, std::system_category(), path);
}

}  // namespace

// ---- Seams ----

void BackupService::useClock(std::function<TimePoint()> now) {
  std::lock_guard guard(seamLock());
  clockSeam() = std::move(now);
}

void BackupService::useComputerName(std::function<std::optional<std::string>()> name) {
  std::lock_guard guard(seamLock());
  nameSeam() = std::move(name);
}

void BackupService::useFreeSpace(std::function<std::optional<std::int64_t>()> bytes) {
  std::lock_guard guard(seamLock());
  freeSpaceSeam() = std::move(bytes);
}

// ---- Backups ----

BackupInfo BackupService::create(Catalog& catalog, const std::string& to,
                                 const std::string& appVersion, bool includeThumbnails) {
  // Said before anything is copied: zip's own words for it mean nothing to a person.
  {
    std::error_code error;
    const fs::path folder = fs::absolute(to, error).parent_path();
    if (!fs::is_directory(folder, error)) throw Failure("The folder " + folder.string() + " is missing.");
  }
  const std::string staging = makeStagingFolder();
  TreeRemover removeStaging(staging);  // never follows the "thumbs" link below
  fs::create_directories(staging + "/settings/computer");

  catalog.backup(staging + "/catalog.db");

  // Counted in the copy, not in the live catalog that may have changed since: a restore
  // compares the item count with the catalog it unpacks.
  CatalogStats stats;
  {
    Catalog copy(staging + "/catalog.db");
    stats = copy.stats();
  }
  const std::string created = stamp(currentTime());
  const std::string machine = computerName();
  writeBytes(staging + "/manifest.json",
             encodeManifest(created, appVersion, machine, stats, includeThumbnails));

  const std::string root = QuorvelPaths::dataRoot();
  for (const std::string& name : kSettingsFiles) {
    std::error_code ignored;
    if (fs::exists(root + "/" + name, ignored))
      fs::copy_file(root + "/" + name, staging + "/settings/computer/" + name,
                    fs::copy_options::overwrite_existing, ignored);
  }

  // zip runs inside the staging folder: a relative destination would land there.
  const std::string partial = fs::absolute(to).string() + ".partial";
  {
    std::error_code ignored;
    fs::remove(partial, ignored);
  }
  Shell::run(kZip, {"-q", "-r", "-X", partial, "manifest.json", "catalog.db", "settings"}, staging);

  std::error_code noThumbs;
  const fs::path thumbs = fs::absolute(QuorvelPaths::thumbnailDir());
  if (includeThumbnails && fs::is_directory(thumbs, noThumbs)) {
    fs::create_directory_symlink(thumbs, staging + "/thumbs");
    // JPEG files do not shrink: store them as they are.
    Shell::run(kZip, {"-q", "-r", "-0", "-X", partial, "thumbs"}, staging);
  }

  // rename() replaces an existing backup in one step, so it is never lost before the new
  // archive is in place.
  fs::rename(partial, to);

  BackupInfo info;
  info.path = to;
  info.created = parse(created);
  info.items = stats.items;
  info.transcribed = stats.transcribed;
  info.people = stats.people;
  info.appVersion = appVersion;
  info.machine = machine;
  info.bytes = ModelDownloader::size(to);
  info.includesThumbnails = includeThumbnails;
  return info;
}

std::optional<BackupInfo> BackupService::inspect(const std::string& path) {
  // unzip would try "<path>.zip" for a missing file, and read a name starting with "-" as an
  // option: give it only an existing file, by its absolute path.
  struct stat fileInfo;
  if (path.empty() || ::stat(path.c_str(), &fileInfo) != 0 || !S_ISREG(fileInfo.st_mode))
    return std::nullopt;
  std::error_code error;
  const std::string absolute = fs::absolute(path, error).string();
  if (error) return std::nullopt;
  std::string manifest;
  try {
    std::string listing = Shell::run(kUnzip, {"-Z1", absolute});
    // The member itself, not a name that merely contains it ("old/catalog.db").
    if (!hasMember(listing, "catalog.db")) return std::nullopt;
    manifest = Shell::run(kUnzip, {"-p", absolute, "manifest.json"});
  } catch (...) {
    return std::nullopt;
  }
  std::optional<BackupInfo> info = decodeManifest(manifest);
  if (!info) return std::nullopt;
  info->path = path;
  info->bytes = ModelDownloader::size(path);
  return info;
}

std::vector<BackupInfo> BackupService::listAutomatic() {
  const std::string folder = QuorvelPaths::backupDir();
  const std::string suffix = std::string(".") + fileExtension;
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.starts_with("auto-") && name.ends_with(suffix)) names.push_back(name);
  }
  // Newest name first, so backups with the same "Created" keep the order of their names.
  std::sort(names.rbegin(), names.rend());
  std::vector<BackupInfo> backups;
  for (const std::string& name : names)
    if (std::optional<BackupInfo> info = inspect(folder + "/" + name)) backups.push_back(*info);
  std::stable_sort(backups.begin(), backups.end(),
                   [](const BackupInfo& a, const BackupInfo& b) { return a.created > b.created; });
  return backups;
}

std::optional<BackupInfo> BackupService::autoBackupIfDue(Catalog& catalog,
                                                         const std::string& appVersion) {
  const std::string folder = QuorvelPaths::backupDir();
  {
    std::error_code ignored;
    fs::create_directories(folder, ignored);
  }
  const TimePoint now = currentTime();
  std::vector<BackupInfo> existing = listAutomatic();
  if (!existing.empty() && now - existing.front().created < kWeekMicros) return std::nullopt;
  if (catalog.stats().items < 1) return std::nullopt;

  const std::string dest =
      folder + "/auto-" + localFileTime(now, /*withSeconds=*/false) + "." + fileExtension;
  std::optional<BackupInfo> made;
  try {
    made = create(catalog, dest, appVersion, /*includeThumbnails=*/false);
  } catch (...) {
    // Nothing is reported: the next launch tries again.
  }

  std::vector<BackupInfo> kept = listAutomatic();
  for (std::size_t i = kAutomaticKept; i < kept.size(); ++i) {
    std::error_code ignored;
    fs::remove(kept[i].path, ignored);
  }
  return made;
}

// ---- Staged restore ----

namespace {

constexpr const char* kNotABackup = "That file isn't a Quorvel Ink backup, or it's damaged.";
constexpr const char* kCatalogUnreadable =
    "The catalog inside that backup couldn't be opened, so nothing was changed.";
constexpr const char* kRestoreFailed =
    "The restore couldn't be finished, so your library is unchanged.";

constexpr const char* kNoRoomToUnpack =
    "There isn't enough free space to unpack that backup, so nothing was changed.";
constexpr const char* kUnpacksTooFar =
    "That backup would unpack to far more than its own size, so it's damaged and nothing was "
    "changed.";

// A backup holds a compressed catalog and thumbnails stored as they are: unpacked, it is a few
// times its size. Beyond this multiple (or this much for a small backup), it is a crafted or
// damaged file.
constexpr std::int64_t kMostExpansion = 100;
constexpr std::int64_t kExpansionFloor = 64LL << 20;
// Room left over on the disk after unpacking, for the catalog's log while it is test-opened.
constexpr std::int64_t kUnpackHeadroom = 32LL << 20;

// The tables a catalog file of ours has had from the first version on.
const char* const kCatalogTables[] = {"items", "transcriptions", "people", "item_people",
                                      "item_dates"};

std::string stagingFolder() { return QuorvelPaths::dataRoot() + "/restore-pending"; }

// The bytes the backup's members take once unpacked, as its directory declares them; none when
// the directory cannot be read.
std::optional<std::int64_t> unpackedBytes(const std::string& absolutePath) {
  std::string summary;
  try {
    // "<n> files, <bytes> bytes uncompressed, <bytes> bytes compressed: <ratio>"
    summary = Shell::run(kUnzip, {"-Zt", absolutePath});
  } catch (...) {
    return std::nullopt;
  }
  const std::size_t comma = summary.find(", ");
  const std::size_t unit = summary.find(" bytes uncompressed");
  if (comma == std::string::npos || unit == std::string::npos || unit <= comma + 2) return std::nullopt;
  std::int64_t bytes = 0;
  for (std::size_t i = comma + 2; i < unit; ++i) {
    if (summary[i] < '0' || summary[i] > '9' || bytes > INT64_MAX / 10 - 9) return std::nullopt;
    bytes = bytes * 10 + (summary[i] - '0');
  }
  return bytes;
}

// Free bytes for us on the disk that holds the data folder; none when it cannot be asked.
std::optional<std::int64_t> freeBytes(const std::string& folder) {
  std::function<std::optional<std::int64_t>()> seam;
  {
    std::lock_guard guard(seamLock());
    seam = freeSpaceSeam();
  }
  if (seam) return seam();
  struct statvfs info;
  if (::statvfs(folder.c_str(), &info) != 0) return std::nullopt;
  const unsigned long long bytes =
      static_cast<unsigned long long>(info.f_bavail) * static_cast<unsigned long long>(info.f_frsize);
  return static_cast<std::int64_t>(std::min<unsigned long long>(bytes, INT64_MAX));
}

// Throws the sentence that says why the backup must not be unpacked, before anything is.
void checkUnpackedSize(const std::string& absolutePath, std::int64_t backupBytes) {
  const std::optional<std::int64_t> unpacked = unpackedBytes(absolutePath);
  if (!unpacked) throw Failure(kNotABackup);
  const std::int64_t most =
      std::max(kExpansionFloor, std::min(backupBytes, INT64_MAX / kMostExpansion) * kMostExpansion);
  if (*unpacked > most) throw Failure(kUnpacksTooFar);
  const std::optional<std::int64_t> room = freeBytes(QuorvelPaths::dataRoot());
  if (room && *unpacked > *room - kUnpackHeadroom) throw Failure(kNoRoomToUnpack);
}

enum class StagedCatalog { sound, unreadable, damaged };

// Whether the unpacked catalog is one of ours, whole, holding the items the manifest counts.
// Read only: nothing is written to the file.
StagedCatalog examineCatalog(const std::string& path, std::optional<std::int64_t> expectedItems) {
  if (ModelDownloader::size(path) <= 0) return StagedCatalog::damaged;  // an empty file is no catalog
  try {
    Database db(path, /*readOnly=*/true);
    std::set<std::string> tables;
    try {
      for (const Row& row : db.query("SELECT name FROM sqlite_master WHERE type = 'table'"))
        tables.insert(row.str("name"));
    } catch (const std::exception& error) {
      // Damaged pages show up here when the first page holds them.
      return std::string_view(error.what()).find("malformed") != std::string_view::npos
                 ? StagedCatalog::damaged
                 : StagedCatalog::unreadable;
    }
    for (const char* table : kCatalogTables)
      if (!tables.contains(table)) return StagedCatalog::damaged;  // another program's database
    const std::vector<Row> check = db.query("PRAGMA quick_check");
    if (check.size() != 1 || check[0].str("quick_check") != "ok") return StagedCatalog::damaged;
    if (expectedItems &&
        db.query("SELECT COUNT(*) AS n FROM items").at(0).int64("n") != *expectedItems)
      return StagedCatalog::damaged;
    return StagedCatalog::sound;
  } catch (...) {
    return StagedCatalog::damaged;  // the check itself ran into damage
  }
}

// Folds the write-ahead log of the database at `path` into the file. False when part of what
// was committed may still be in the log alone (another connection kept it busy, or the file
// could not be opened as a database).
bool checkpoint(const std::string& path) {
  try {
    Database db(path);
    std::vector<Row> rows = db.query("PRAGMA wal_checkpoint(TRUNCATE)");
    return !rows.empty() && rows[0].int64("busy") == 0 &&
           rows[0].int64("log") == rows[0].int64("checkpointed");
  } catch (...) {
    return false;
  }
}

// Moves `from` to `to` unless something is already called `to`; errors are ignored.
void moveIfAbsent(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  if ((errno == EINVAL || errno == ENOSYS) && !lexists(to)) ::rename(from.c_str(), to.c_str());
}

std::string lastPathComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

}  // namespace

BackupInfo BackupService::stageRestore(const std::string& path) {
  std::optional<BackupInfo> info = inspect(path);
  if (!info) throw Failure(kNotABackup);
  const std::string absolute = fs::absolute(path).string();
  // Before anything is unpacked or an earlier staged restore dropped.
  checkUnpackedSize(absolute, info->bytes);

  const std::string staging = fs::absolute(stagingFolder()).string();
  removeTree(staging);
  fs::create_directories(staging);

  const std::string stagedCatalog = staging + "/catalog.db";
  StagedCatalog state = StagedCatalog::unreadable;
  try {
    Shell::run(kUnzip, {"-q", "-o", absolute, "-d", staging});
    if (!tameTree(staging)) throw std::runtime_error("not only files and folders");
    // Opening a missing file would make an empty catalog and restore nothing.
    if (!isPlainFile(stagedCatalog)) throw std::runtime_error("no catalog.db");
    // Examined before opening, which would add the tables a foreign or empty file lacks.
    state = examineCatalog(stagedCatalog, info->items);
    if (state == StagedCatalog::sound) {
      Catalog staged(stagedCatalog);  // brings the schema up to date; closed at the end of scope
    }
  } catch (...) {
    state = StagedCatalog::unreadable;
  }
  if (state != StagedCatalog::sound) {
    removeTree(staging);
    throw Failure(state == StagedCatalog::damaged ? kNotABackup : kCatalogUnreadable);
  }
  removeQuietly(stagedCatalog + "-wal");
  removeQuietly(stagedCatalog + "-shm");
  writeFileAtomically(staging + "/source.txt", path);
  return *info;
}

bool BackupService::restorePending() { return lexists(stagingFolder() + "/catalog.db"); }

void BackupService::cancelPendingRestore() { removeTree(stagingFolder()); }

std::optional<std::string> BackupService::applyPendingRestore() {
  const std::string staging = stagingFolder();
  const std::string staged = staging + "/catalog.db";
  if (!lexists(staged)) return std::nullopt;
  auto fail = [&] {
    removeTree(staging);
    return std::optional<std::string>(kRestoreFailed);
  };

  const std::string backups = QuorvelPaths::backupDir();
  const std::string setAside =
      backups + "/before-restore-" + localFileTime(currentTime(), /*withSeconds=*/true) + ".db";
  {
    std::error_code ignored;
    fs::create_directories(backups, ignored);
  }
  // Staged by an earlier version, or changed since: only a whole catalog replaces the live one.
  if (!isPlainFile(staged) || examineCatalog(staged, std::nullopt) != StagedCatalog::sound)
    return fail();

  const std::string live = QuorvelPaths::catalogFile();
  const bool liveExisted = lexists(live);
  bool logMoved = false;
  if (liveExisted) {
    // Committed changes may still live only in the write-ahead log, which is deleted below:
    // fold the log into the file first, or carry it along when that cannot be done.
    const bool folded = checkpoint(live);
    if (::rename(live.c_str(), setAside.c_str()) != 0) return fail();
    if (!folded && ModelDownloader::size(live + "-wal") > 0) {
      if (::rename((live + "-wal").c_str(), (setAside + "-wal").c_str()) != 0) {
        ::rename(setAside.c_str(), live.c_str());
        return fail();
      }
      logMoved = true;
    }
  }
  removeQuietly(live + "-wal");
  removeQuietly(live + "-shm");

  if (::rename(staged.c_str(), live.c_str()) != 0) {
    if (liveExisted && !lexists(live)) {
      ::rename(setAside.c_str(), live.c_str());
      if (logMoved) ::rename((setAside + "-wal").c_str(), (live + "-wal").c_str());
    }
    return fail();
  }

  // From here on the restore counts as done; what fails is left as it is.
  const std::string root = QuorvelPaths::dataRoot();
  for (const std::string& name : kSettingsFiles) {
    const std::string stagedFile = staging + "/settings/computer/" + name;
    if (isPlainFile(stagedFile)) ::rename(stagedFile.c_str(), (root + "/" + name).c_str());
  }

  const std::string stagedThumbs = staging + "/thumbs";
  if (isPlainFolder(stagedThumbs)) {
    std::error_code error;
    fs::directory_iterator it(stagedThumbs, error);
    if (!error) {
      const std::string thumbs = QuorvelPaths::thumbnailDir();
      std::error_code ignored;
      fs::create_directories(thumbs, ignored);
      for (fs::directory_iterator end; !error && it != end; it.increment(error)) {
        const std::string from = it->path().string();
        if (isPlainFile(from)) moveIfAbsent(from, thumbs + "/" + it->path().filename().string());
      }
    }
  }

  std::optional<std::string> source;
  std::string sourceText;
  if (isPlainFile(staging + "/source.txt") && readWholeFile(staging + "/source.txt", sourceText)) {
    std::string trimmedSource = text::trimmed(replacingInvalidUtf8(sourceText));
    if (!trimmedSource.empty()) source = trimmedSource;
  }

  removeTree(staging);

  try {
    Catalog restored(live);
    restored.repointThumbnails(QuorvelPaths::thumbnailDir());
  } catch (...) {
    // The file is in place; the next opening reports what is wrong with it.
  }

  return "Restored from " + (source ? lastPathComponent(*source) : std::string("a backup")) +
         ". Your previous library was set aside in the backups folder.";
}

}  // namespace quorvel
