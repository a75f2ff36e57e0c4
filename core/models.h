#pragma once
// Plain value records shared by every service of the core and the views, the
// converter between points in time and their stored text (Stamp), and a few
// small helpers for times and UTF-8 text.
//
// Points in time are integer microseconds since 1970-01-01T00:00:00Z (TimePoint).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

using TimePoint = std::int64_t;  // microseconds since the Unix epoch, UTC

// The current time.
TimePoint nowMicros();

enum class ItemKind : int {
  unknown = 0,
  letter = 1,
  photo = 2,
  photoBack = 3,
  document = 4,
  card = 5,
  newspaper = 6,
};

// The kind with this integer value; none outside 0 to 6.
std::optional<ItemKind> itemKindFromInt(std::int64_t value);
// "Scan", "Letter", "Photo", "Back of photo", "Document", "Card", "Newspaper".
std::string label(ItemKind kind);
// Every kind in declaration order, unknown first.
const std::vector<ItemKind>& allItemKinds();

enum class OcrStatus : int {
  pending = 0,
  running = 1,
  done = 2,
  failed = 3,
  skipped = 4,
};

// The status with this integer value; none outside 0 to 4.
std::optional<OcrStatus> ocrStatusFromInt(std::int64_t value);

// One scan file in the catalog (a row of `items`).
struct ArchiveItem {
  std::int64_t id = 0;
  std::string path;
  std::string fileName;
  std::string title;
  ItemKind kind = ItemKind::unknown;
  std::int64_t fileSize = 0;
  TimePoint fileModified = nowMicros();
  TimePoint added = nowMicros();
  int width = 0;
  int height = 0;
  std::optional<std::string> thumbnailPath;
  std::string sha256;
  std::optional<std::int64_t> linkedItemId;
  OcrStatus ocrStatus = OcrStatus::pending;
  bool favorite = false;
  std::string notes;

  // The title, or the file name without its last extension when the title is empty.
  std::string displayTitle() const;

  bool operator==(const ArchiveItem&) const = default;
};

// The text of one item (a row of `transcriptions`).
struct Transcription {
  std::int64_t itemId = 0;
  std::string rawText;
  std::string text;
  std::string engine;
  std::optional<double> confidence;
  bool corrected = false;
  std::string uncertainJson;  // JSON array of UncertainWord; "" and "[]" mean none
  TimePoint updated = nowMicros();
};

// The English translation of one item (a row of `translations`).
struct Translation {
  std::int64_t itemId = 0;
  std::string language;
  std::string languageName;
  std::string text;
  std::string engine;
  std::string sourceHash;
  TimePoint updated = nowMicros();

  bool operator==(const Translation&) const = default;
};

// A person who can be tagged on items.
struct Person {
  std::int64_t id = 0;
  std::string name;
  std::string notes;
  int itemCount = 0;

  bool operator==(const Person&) const = default;
};

// One date of an item (a row of `item_dates`).
struct ItemDate {
  std::int64_t id = 0;
  std::int64_t itemId = 0;
  std::string value;  // YYYY, YYYY-MM or YYYY-MM-DD
  std::string source;
  bool confirmed = false;

  ItemDate() = default;
  // A new, unsaved date: id is always 0.
  ItemDate(std::int64_t itemId, std::string value, std::string source, bool confirmed)
      : itemId(itemId), value(std::move(value)), source(std::move(source)), confirmed(confirmed) {}

  bool operator==(const ItemDate&) const = default;
};

// One result of a catalog search.
struct SearchHit {
  ArchiveItem item;
  std::string snippet;
  double rank = 0;
};

struct CatalogStats {
  int items = 0;
  int transcribed = 0;
  int pending = 0;
  int people = 0;
  int dates = 0;
  std::int64_t totalBytes = 0;
};

// One word on which two readings of a handwriting reader disagree.
struct UncertainWord {
  std::string Chosen;
  std::string Alternative;

  UncertainWord() = default;
  UncertainWord(std::string Chosen, std::string Alternative)
      : Chosen(std::move(Chosen)), Alternative(std::move(Alternative)) {}

  bool operator==(const UncertainWord&) const = default;
};

// A JSON array of {"Chosen","Alternative"} objects.
std::string encodeUncertainWords(const std::vector<UncertainWord>& words);
// None when the text is not such an array (a missing or non-text key fails the whole list).
std::optional<std::vector<UncertainWord>> decodeUncertainWords(std::string_view json);

// What removing one item takes out of the catalog; held in memory for undo.
struct RemovedItemSnapshot {
  ArchiveItem item;
  std::optional<Transcription> transcription;
  std::vector<std::string> people;
  std::vector<ItemDate> dates;
  std::optional<Translation> translation;
};

// The converter between points in time and the text the catalog stores
// (UTC, three fraction digits, "Z": 2024-03-05T14:07:09.250Z). Any thread.
namespace Stamp {
// The stored text of a point in time.
std::string string(TimePoint time);
// The point in time a stored text names; 1970-01-01T00:00:00Z when it names none.
// Also reads text without fraction or without zone (taken as UTC) and zone offsets.
TimePoint date(std::string_view text);
}  // namespace Stamp

// True when the bytes are well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);
// The bytes read as UTF-8 with every invalid sequence replaced by U+FFFD.
std::string replacingInvalidUtf8(std::string_view bytes);

}  // namespace quorvel

template <>
struct std::hash<quorvel::ArchiveItem> {
  std::size_t operator()(const quorvel::ArchiveItem& item) const noexcept;
};
template <>
struct std::hash<quorvel::Person> {
  std::size_t operator()(const quorvel::Person& person) const noexcept;
};
template <>
struct std::hash<quorvel::ItemDate> {
  std::size_t operator()(const quorvel::ItemDate& date) const noexcept;
};
template <>
struct std::hash<quorvel::UncertainWord> {
  std::size_t operator()(const quorvel::UncertainWord& word) const noexcept;
};
