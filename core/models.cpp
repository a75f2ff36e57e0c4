#include "core/models.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <mutex>

#include <nlohmann/json.hpp>

namespace quorvel {

TimePoint nowMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::optional<ItemKind> itemKindFromInt(std::int64_t value) {
  if (value < 0 || value > 6) return std::nullopt;
  return static_cast<ItemKind>(value);
}

std::string label(ItemKind kind) {
  switch (kind) {
    case ItemKind::unknown: return "Scan";
    case ItemKind::letter: return "Letter";
    case ItemKind::photo: return "Photo";
    case ItemKind::photoBack: return "Back of photo";
    case ItemKind::document: return "Document";
    case ItemKind::card: return "Card";
    case ItemKind::newspaper: return "Newspaper";
  }
  return "Scan";
}

const std::vector<ItemKind>& allItemKinds() {
  static const std::vector<ItemKind> kinds = {
      ItemKind::unknown,  ItemKind::letter, ItemKind::photo,    ItemKind::photoBack,
      ItemKind::document, ItemKind::card,   ItemKind::newspaper};
  return kinds;
}

std::optional<OcrStatus> ocrStatusFromInt(std::int64_t value) {
  if (value < 0 || value > 4) return std::nullopt;
  return static_cast<OcrStatus>(value);
}

std::string ArchiveItem::displayTitle() const {
  if (!title.empty()) return title;
  auto dot = fileName.rfind('.');
  if (dot == std::string::npos || dot == 0) return fileName;
  return fileName.substr(0, dot);
}

std::string encodeUncertainWords(const std::vector<UncertainWord>& words) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& w : words) array.push_back({{"Chosen", w.Chosen}, {"Alternative", w.Alternative}});
  return array.dump();
}

std::optional<std::vector<UncertainWord>> decodeUncertainWords(std::string_view json) {
  auto parsed = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_array()) return std::nullopt;
  std::vector<UncertainWord> words;
  for (const auto& entry : parsed) {
    if (!entry.is_object()) return std::nullopt;
    auto chosen = entry.find("Chosen");
    auto alternative = entry.find("Alternative");
    if (chosen == entry.end() || alternative == entry.end() || !chosen->is_string() ||
        !alternative->is_string())
      return std::nullopt;
    words.emplace_back(chosen->get<std::string>(), alternative->get<std::string>());
  }
  return words;
}

// ---- Stamp ----

namespace {

std::mutex& stampLock() {
  static std::mutex lock;
  return lock;
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp + (mp < 10 ? 3 : -9);
  y += m <= 2;
}

bool isLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(std::int64_t y, unsigned m) {
  static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  bool digits(int count, int& out) {
    if (pos_ + count > text_.size()) return false;
    int value = 0;
    for (int i = 0; i < count; ++i) {
      char c = text_[pos_ + i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    pos_ += count;
    out = value;
    return true;
  }
  bool literal(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
  bool atEnd() const { return pos_ == text_.size(); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// Reads an internet date-time: YYYY-MM-DDTHH:MM:SS, then ".fff" (required when
// withFraction, refused otherwise), then "Z" or a zone offset +HH:MM / -HH:MM.
std::optional<TimePoint> parseInternetDateTime(std::string_view text, bool withFraction) {
  Cursor c(text);
  int year, month, day, hour, minute, second;
  if (!c.digits(4, year) || !c.literal('-') || !c.digits(2, month) || !c.literal('-') ||
      !c.digits(2, day) || !c.literal('T') || !c.digits(2, hour) || !c.literal(':') ||
      !c.digits(2, minute) || !c.literal(':') || !c.digits(2, second))
    return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || static_cast<unsigned>(day) > daysInMonth(year, month) ||
      hour > 23 || minute > 59 || second > 59)
    return std::nullopt;
  std::int64_t micros = 0;
  if (withFraction) {
    if (!c.literal('.')) return std::nullopt;
    int digitsRead = 0;
    std::int64_t fraction = 0;
    int d;
    while (c.digits(1, d)) {
      if (digitsRead < 6) fraction = fraction * 10 + d;
      ++digitsRead;
    }
    if (digitsRead == 0) return std::nullopt;
    for (int i = std::min(digitsRead, 6); i < 6; ++i) fraction *= 10;
    micros = fraction / 1000 * 1000;  // the stored form keeps milliseconds
  } else if (c.peek('.')) {
    return std::nullopt;
  }
  std::int64_t offsetSeconds = 0;
  if (c.literal('Z')) {
  } else if (c.peek('+') || c.peek('-')) {
    int sign = c.literal('+') ? 1 : (c.literal('-'), -1);
    int oh, om;
    if (!c.digits(2, oh) || !c.literal(':') || !c.digits(2, om) || oh > 23 || om > 59)
      return std::nullopt;
    offsetSeconds = sign * (oh * 3600 + om * 60);
  } else {
    return std::nullopt;
  }
  if (!c.atEnd()) return std::nullopt;
  std::int64_t seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 +
                         second - offsetSeconds;
  return seconds * 1000000 + micros;
}

// True when the text ends in a zone offset such as "-05:00" or "+02:00".
bool endsWithZoneOffset(std::string_view text) {
  if (text.size() < 6) return false;
  auto tail = text.substr(text.size() - 6);
  return (tail[0] == '+' || tail[0] == '-') && std::isdigit(static_cast<unsigned char>(tail[1])) &&
         std::isdigit(static_cast<unsigned char>(tail[2])) && tail[3] == ':' &&
         std::isdigit(static_cast<unsigned char>(tail[4])) &&
         std::isdigit(static_cast<unsigned char>(tail[5]));
}

}  // namespace

std::string Stamp::string(TimePoint time) {
  std::lock_guard guard(stampLock());
  std::int64_t millis = time >= 0 ? time / 1000 : -((-time + 999) / 1000);
  std::int64_t seconds = millis >= 0 ? millis / 1000 : -((-millis + 999) / 1000);
  int fraction = static_cast<int>(millis - seconds * 1000);
  std::int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  std::int64_t secOfDay = seconds - days * 86400;
  std::int64_t y;
  unsigned m, d;
  civilFromDays(days, y, m, d);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<long long>(y), m, d, static_cast<int>(secOfDay / 3600),
                static_cast<int>(secOfDay / 60 % 60), static_cast<int>(secOfDay % 60), fraction);
  return buffer;
}

TimePoint Stamp::date(std::string_view text) {
  std::lock_guard guard(stampLock());
  // The stored form (three fraction digits, then the zone) is read as it is;
  // the rewriting below would leave it unchanged.
  if (auto dot = text.find('.'); dot != std::string_view::npos && dot + 4 < text.size() &&
                                 std::isdigit(static_cast<unsigned char>(text[dot + 1])) &&
                                 std::isdigit(static_cast<unsigned char>(text[dot + 2])) &&
                                 std::isdigit(static_cast<unsigned char>(text[dot + 3])) &&
                                 !std::isdigit(static_cast<unsigned char>(text[dot + 4]))) {
    if (auto t = parseInternetDateTime(text, true)) return *t;
  }
  std::string working(text);
  auto dot = working.find('.');
  if (dot != std::string::npos) {
    std::string head = working.substr(0, dot);
    std::size_t end = dot + 1;
    while (end < working.size() && working[end] >= '0' && working[end] <= '9') ++end;
    std::string digits = working.substr(dot + 1, end - dot - 1);
    std::string rest = working.substr(end);
    std::string candidate = head + "." + (digits + "000").substr(0, 3) + (rest.empty() ? "Z" : rest);
    if (auto t = parseInternetDateTime(candidate, true)) return *t;
    working = candidate;
  }
  // A trailing offset such as "-05:00" is a zone too, not only "Z" or "+".
  if ((working.empty() || working.back() != 'Z') && working.find('+') == std::string::npos &&
      !endsWithZoneOffset(working))
    working += "Z";
  if (auto t = parseInternetDateTime(working, false)) return *t;
  if (auto t = parseInternetDateTime(working, true)) return *t;
  return 0;
}

// ---- UTF-8 ----

namespace {
// Length of the valid UTF-8 sequence at the start of bytes, or 0 when it is invalid.
std::size_t validSequenceLength(std::string_view bytes) {
  auto b = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  unsigned char c = b(0);
  if (c < 0x80) return 1;
  std::size_t n;
  std::uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) { n = 2; cp = c & 0x1F; }
  else if (c >= 0xE0 && c <= 0xEF) { n = 3; cp = c & 0x0F; }
  else if (c >= 0xF0 && c <= 0xF4) { n = 4; cp = c & 0x07; }
  else return 0;
  if (bytes.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i) & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}
}  // namespace

bool isValidUtf8(std::string_view bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    if (static_cast<unsigned char>(bytes[at]) < 0x80) {
      ++at;
      continue;
    }
    std::size_t n = validSequenceLength(bytes.substr(at));
    if (n == 0) return false;
    at += n;
  }
  return true;
}

std::string replacingInvalidUtf8(std::string_view bytes) {
  // Nearly every text is valid: copied whole.
  if (isValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    std::size_t n = validSequenceLength(bytes);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      n = 1;
    } else {
      out.append(bytes.substr(0, n));
    }
    bytes.remove_prefix(n);
  }
  return out;
}

}  // namespace quorvel

// ---- hashing ----

namespace {
template <class T>
void combine(std::size_t& seed, const T& value) {
  seed ^= std::hash<T>{}(value) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}
}  // namespace

std::size_t std::hash<quorvel::ArchiveItem>::operator()(const quorvel::ArchiveItem& i) const noexcept {
  std::size_t seed = 0;
  combine(seed, i.id);
  combine(seed, i.path);
  combine(seed, i.fileName);
  combine(seed, i.title);
  combine(seed, static_cast<int>(i.kind));
  combine(seed, i.fileSize);
  combine(seed, i.fileModified);
  combine(seed, i.added);
  combine(seed, i.width);
  combine(seed, i.height);
  combine(seed, i.thumbnailPath);
  combine(seed, i.sha256);
  combine(seed, i.linkedItemId);
  combine(seed, static_cast<int>(i.ocrStatus));
  combine(seed, i.favorite);
  combine(seed, i.notes);
  return seed;
}

std::size_t std::hash<quorvel::Person>::operator()(const quorvel::Person& p) const noexcept {
  std::size_t seed = 0;
  combine(seed, p.id);
  combine(seed, p.name);
  combine(seed, p.notes);
  combine(seed, p.itemCount);
  return seed;
}

std::size_t std::hash<quorvel::ItemDate>::operator()(const quorvel::ItemDate& d) const noexcept {
  std::size_t seed = 0;
  combine(seed, d.id);
  combine(seed, d.itemId);
  combine(seed, d.value);
  combine(seed, d.source);
  combine(seed, d.confirmed);
  return seed;
}

std::size_t std::hash<quorvel::UncertainWord>::operator()(const quorvel::UncertainWord& w) const noexcept {
  std::size_t seed = 0;
  combine(seed, w.Chosen);
  combine(seed, w.Alternative);
  return seed;
}
