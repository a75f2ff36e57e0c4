// Catalog: transcriptions, people, dates and translations.
#include <charconv>
#include <set>

#include "core/catalog.h"
#include "core/text.h"

namespace quorvel {

namespace {

Transcription transcriptionFrom(const Row& row) {
  Transcription t;
  t.itemId = row.int64("item_id");
  t.rawText = row.str("raw_text");
  t.text = row.str("text");
  t.engine = row.str("engine");
  t.confidence = row.optDouble("confidence");
  t.corrected = row.int64("corrected") == 1;
  t.uncertainJson = row.str("uncertain");
  t.updated = Stamp::date(row.str("updated"));
  return t;
}

Translation translationFrom(const Row& row) {
  Translation t;
  t.itemId = row.int64("item_id");
  t.language = row.str("language");
  t.languageName = row.str("language_name");
  t.text = row.str("text");
  t.engine = row.str("engine");
  t.sourceHash = row.str("source_hash");
  t.updated = Stamp::date(row.str("updated"));
  return t;
}

Person personFrom(const Row& row) {
  Person p;
  p.id = row.int64("id");
  p.name = row.str("name");
  p.notes = row.str("notes");
  p.itemCount = static_cast<int>(row.int64("n"));
  return p;
}

ItemDate dateFrom(const Row& row) {
  ItemDate d;
  d.id = row.int64("id");
  d.itemId = row.int64("item_id");
  d.value = row.str("value");
  d.source = row.str("source");
  d.confirmed = row.int64("confirmed") == 1;
  return d;
}

// A decimal integer with an optional sign and nothing else.
std::optional<int> parseSignedInt(const std::string& text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (begin != end && *begin == '+') {
    ++begin;
    if (begin != end && *begin == '-') return std::nullopt;
  }
  if (begin == end) return std::nullopt;
  int value = 0;
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

// ---- Transcriptions ----

std::optional<Transcription> Catalog::getTranscription(std::int64_t itemId) {
  auto rows = q("SELECT * FROM transcriptions WHERE item_id=?", {itemId});
  if (rows.empty()) return std::nullopt;
  return transcriptionFrom(rows.front());
}

void Catalog::saveRecognizedText(std::int64_t itemId, const std::string& raw,
                                 const std::string& engine, std::optional<double> confidence,
                                 const std::string& uncertainJson, bool replaceCorrected) {
  std::string sql =
      "INSERT INTO transcriptions (item_id, raw_text, text, engine, confidence, corrected, "
      "updated, uncertain)\n"
      "VALUES (?1, ?2, ?2, ?3, ?4, 0, ?5, ?6)\n"
      "ON CONFLICT(item_id) DO UPDATE SET\n"
      "    raw_text=excluded.raw_text, ";
  sql += replaceCorrected
             ? "text=excluded.raw_text, corrected=0,"
             : "text=CASE WHEN transcriptions.corrected=1 THEN transcriptions.text ELSE "
               "excluded.raw_text END,";
  sql +=
      "\n    engine=excluded.engine, confidence=excluded.confidence, updated=excluded.updated, "
      "uncertain=excluded.uncertain";
  tx([&] {
    db_.run(sql, {itemId, raw, engine, SQLValue::opt(confidence), Stamp::string(nowMicros()),
                  uncertainJson});
    db_.run("UPDATE items SET ocr_status=? WHERE id=?", {static_cast<int>(OcrStatus::done), itemId});
    updateFts(itemId);
    updateUncertain(itemId);
  });
}

void Catalog::saveUncertain(std::int64_t itemId, const std::string& json) {
  // One transaction with the list of items that have uncertain words.
  tx([&] {
    db_.run("UPDATE transcriptions SET uncertain=? WHERE item_id=?", {json, itemId});
    updateUncertain(itemId);
  });
}

void Catalog::saveCorrectedText(std::int64_t itemId, const std::string& text) {
  // The uncertain words stay as they were (none for a new transcription), and
  // so does the item's uncertain_items row.
  tx([&] {
    db_.run(
        "INSERT INTO transcriptions (item_id, raw_text, text, engine, confidence, corrected, "
        "updated)\n"
        "VALUES (?1, '', ?2, 'user', NULL, 1, ?3)\n"
        "ON CONFLICT(item_id) DO UPDATE SET text=excluded.text, corrected=1, "
        "updated=excluded.updated",
        {itemId, text, Stamp::string(nowMicros())});
    db_.run("UPDATE items SET ocr_status=? WHERE id=?", {static_cast<int>(OcrStatus::done), itemId});
    updateFts(itemId);
  });
}

// ---- People ----

std::vector<Person> Catalog::peopleForItem(std::int64_t itemId) {
  std::vector<Person> people;
  for (const Row& row :
       q("SELECT p.id, p.name, p.notes, 0 AS n FROM people p JOIN item_people ip ON "
         "ip.person_id=p.id WHERE ip.item_id=? ORDER BY p.name COLLATE NOCASE",
         {itemId}))
    people.push_back(personFrom(row));
  return people;
}

std::vector<Person> Catalog::listPeople() {
  std::vector<Person> people;
  for (const Row& row :
       q("SELECT p.id, p.name, p.notes, (SELECT COUNT(*) FROM item_people ip WHERE "
         "ip.person_id=p.id) AS n FROM people p ORDER BY p.name COLLATE NOCASE"))
    people.push_back(personFrom(row));
  return people;
}

std::int64_t Catalog::ensurePerson(const std::string& name) {
  std::string trimmed = text::trimmed(name);
  if (trimmed.empty()) return 0;
  x("INSERT OR IGNORE INTO people (name) VALUES (?)", {trimmed});
  auto rows = q("SELECT id FROM people WHERE name=? COLLATE NOCASE", {trimmed});
  return rows.empty() ? 0 : rows.front().int64("id");
}

void Catalog::tagPerson(std::int64_t itemId, std::int64_t personId) {
  tx([&] {
    db_.run("INSERT OR IGNORE INTO item_people (item_id, person_id) VALUES (?,?)", {itemId, personId});
    updateFts(itemId);
  });
}

void Catalog::untagPerson(std::int64_t itemId, std::int64_t personId) {
  tx([&] {
    db_.run("DELETE FROM item_people WHERE item_id=? AND person_id=?", {itemId, personId});
    updateFts(itemId);
  });
}

void Catalog::renamePerson(std::int64_t personId, const std::string& to) {
  tx([&] {
    db_.run("UPDATE OR IGNORE people SET name=? WHERE id=?", {text::trimmed(to), personId});
    for (const Row& row : db_.query("SELECT item_id FROM item_people WHERE person_id=?", {personId}))
      updateFts(row.int64("item_id"));
  });
}

void Catalog::deletePerson(std::int64_t personId) {
  tx([&] {
    auto rows = db_.query("SELECT item_id FROM item_people WHERE person_id=?", {personId});
    db_.run("DELETE FROM people WHERE id=?", {personId});
    for (const Row& row : rows) updateFts(row.int64("item_id"));
  });
}

// ---- Dates ----

std::vector<ItemDate> Catalog::datesForItem(std::int64_t itemId) {
  std::vector<ItemDate> dates;
  for (const Row& row :
       q("SELECT id, item_id, value, source, confirmed FROM item_dates WHERE item_id=? ORDER BY value",
         {itemId}))
    dates.push_back(dateFrom(row));
  return dates;
}

std::unordered_map<std::int64_t, std::string> Catalog::firstDates() {
  std::unordered_map<std::int64_t, std::string> first;
  for (const Row& row : q("SELECT item_id, MIN(value) AS v FROM item_dates GROUP BY item_id"))
    first[row.int64("item_id")] = row.str("v");
  return first;
}

void Catalog::replaceExtractedDates(std::int64_t itemId, const std::vector<ItemDate>& dates) {
  tx([&] {
    db_.run("DELETE FROM item_dates WHERE item_id=? AND confirmed=0", {itemId});
    std::set<std::string> kept;
    for (const Row& row : db_.query("SELECT value FROM item_dates WHERE item_id=?", {itemId}))
      kept.insert(row.str("value"));
    for (const ItemDate& date : dates) {
      if (kept.count(date.value)) continue;
      db_.run("INSERT INTO item_dates (item_id, value, source, confirmed) VALUES (?,?,?,0)",
              {itemId, date.value, date.source});
    }
  });
}

void Catalog::addDate(std::int64_t itemId, const std::string& value, const std::string& source,
                      bool confirmed) {
  x("INSERT INTO item_dates (item_id, value, source, confirmed) VALUES (?,?,?,?)",
    {itemId, value, source, SQLValue::flag(confirmed)});
}

void Catalog::setDateConfirmed(std::int64_t dateId, bool confirmed) {
  x("UPDATE item_dates SET confirmed=? WHERE id=?", {SQLValue::flag(confirmed), dateId});
}

void Catalog::deleteDate(std::int64_t dateId) { x("DELETE FROM item_dates WHERE id=?", {dateId}); }

std::vector<std::pair<int, int>> Catalog::years() {
  std::vector<std::pair<int, int>> result;
  for (const Row& row : q("SELECT substr(value,1,4) AS y, COUNT(DISTINCT item_id) AS n FROM "
                          "item_dates GROUP BY y ORDER BY y")) {
    auto year = parseSignedInt(row.str("y"));
    if (year) result.emplace_back(*year, static_cast<int>(row.int64("n")));
  }
  return result;
}

// ---- Translations ----

std::optional<Translation> Catalog::getTranslation(std::int64_t itemId) {
  auto rows = q("SELECT * FROM translations WHERE item_id=?", {itemId});
  if (rows.empty()) return std::nullopt;
  return translationFrom(rows.front());
}

void Catalog::saveTranslation(const Translation& t) {
  tx([&] {
    db_.run(
        "INSERT INTO translations (item_id, language, language_name, text, engine, source_hash, "
        "updated)\n"
        "VALUES (?,?,?,?,?,?,?)\n"
        "ON CONFLICT(item_id) DO UPDATE SET language=excluded.language, "
        "language_name=excluded.language_name,\n"
        "    text=excluded.text, engine=excluded.engine, source_hash=excluded.source_hash, "
        "updated=excluded.updated",
        {t.itemId, t.language, t.languageName, t.text, t.engine, t.sourceHash,
         Stamp::string(nowMicros())});
    db_.run("DELETE FROM translations_fts WHERE rowid=?", {t.itemId});
    db_.run("INSERT INTO translations_fts (rowid, item_id, text) VALUES (?1,?1,?2)", {t.itemId, t.text});
  });
}

void Catalog::deleteTranslation(std::int64_t itemId) {
  tx([&] {
    db_.run("DELETE FROM translations WHERE item_id=?", {itemId});
    db_.run("DELETE FROM translations_fts WHERE rowid=?", {itemId});
  });
}

}  // namespace quorvel
