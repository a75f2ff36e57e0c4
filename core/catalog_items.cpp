// Catalog: items, links, tombstones, removal and restore.
#include <cstdio>
#include <unordered_set>

#include "core/catalog.h"

namespace quorvel {

namespace {

// The last component of a path ("b" for "/a/b/"), like a file manager names it.
std::string lastPathComponent(const std::string& path) {
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path;
  std::size_t start = path.rfind('/', end);
  return path.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1) + 1);
}

SQLValue intOf(ItemKind kind) { return SQLValue(static_cast<int>(kind)); }
SQLValue intOf(OcrStatus status) { return SQLValue(static_cast<int>(status)); }

}  // namespace

// ---- Reads ----

std::optional<ArchiveItem> Catalog::getItem(std::int64_t id) {
  auto rows = q("SELECT * FROM items WHERE id=?", {id});
  if (rows.empty()) return std::nullopt;
  return item(rows.front());
}

std::optional<ArchiveItem> Catalog::findByPath(const std::string& path) {
  auto rows = q("SELECT * FROM items WHERE path=?", {path});
  if (rows.empty()) return std::nullopt;
  return item(rows.front());
}

std::optional<ArchiveItem> Catalog::findBySha(const std::string& sha256) {
  if (sha256.empty()) return std::nullopt;
  auto rows = q("SELECT * FROM items WHERE sha256=? LIMIT 1", {sha256});
  if (rows.empty()) return std::nullopt;
  return item(rows.front());
}

std::vector<ArchiveItem> Catalog::itemsOf(const std::string& sql, const std::vector<SQLValue>& params) {
  std::vector<ArchiveItem> found;
  try {
    // Each row is mapped as it is read: a list of 50,000 items is never held twice.
    std::optional<ItemColumns> at;
    reader().each(sql, params, [&found, &at](const Row& row) {
      if (!at) at.emplace(row);
      found.push_back(item(row, *at));
    });
  } catch (const std::exception& e) {
    recordError(e.what());
    return {};
  }
  return found;
}

std::vector<ArchiveItem> Catalog::allItems() {
  return itemsOf("SELECT * FROM items ORDER BY added DESC, id DESC");
}

std::vector<ArchiveItem> Catalog::listItems(std::optional<ItemKind> kind,
                                            std::optional<OcrStatus> status,
                                            std::optional<bool> favorite, std::int64_t limit) {
  std::string sql = "SELECT * FROM items WHERE 1=1";
  std::vector<SQLValue> params;
  if (kind) {
    sql += " AND kind=?";
    params.push_back(intOf(*kind));
  }
  if (status) {
    sql += " AND ocr_status=?";
    params.push_back(intOf(*status));
  }
  if (favorite) {
    sql += " AND favorite=?";
    params.push_back(SQLValue::flag(*favorite));
  }
  sql += " ORDER BY added DESC, id DESC LIMIT ?";
  params.emplace_back(limit);
  return itemsOf(sql, params);
}

std::vector<ArchiveItem> Catalog::itemsNeedingReview() {
  // uncertain_items lists the items whose transcription has uncertain words,
  // once it has been filled on an older catalog.
  if (sideTablesFilled_)
    return itemsOf("SELECT * FROM items WHERE ocr_status IN (0,3) OR id IN (SELECT item_id FROM "
                   "uncertain_items) ORDER BY added DESC, id DESC");
  return itemsOf("SELECT i.* FROM items i LEFT JOIN transcriptions t ON t.item_id=i.id "
                 "WHERE i.ocr_status IN (0,3) OR (t.uncertain IS NOT NULL AND "
                 "t.uncertain NOT IN ('', '[]')) ORDER BY i.added DESC, i.id DESC");
}

std::vector<ArchiveItem> Catalog::itemsForPerson(std::int64_t personId) {
  return itemsOf("SELECT i.* FROM items i JOIN item_people ip ON ip.item_id=i.id WHERE "
                 "ip.person_id=? ORDER BY i.added DESC",
                 {personId});
}

std::vector<ArchiveItem> Catalog::itemsForYear(int year) {
  try {
    std::vector<ArchiveItem> dated;
    for (const Row& row : datedRows(year, "", -1)) dated.push_back(item(row));
    return dated;
  } catch (const std::exception& e) {
    recordError(e.what());
    return {};
  }
}

bool Catalog::isRemovedPath(const std::string& path) {
  return !q("SELECT 1 FROM removed_items WHERE path=? LIMIT 1", {path}).empty();
}

bool Catalog::isRemoved(const std::string& path, const std::string& sha256) {
  return !q("SELECT 1 FROM removed_items WHERE path=? OR (sha256<>'' AND sha256=?) LIMIT 1",
            {path, sha256})
              .empty();
}

// ---- Single-statement writes ----

void Catalog::setOcrStatus(std::int64_t id, OcrStatus status) {
  x("UPDATE items SET ocr_status=? WHERE id=?", {intOf(status), id});
}

void Catalog::updateThumbnailPath(std::int64_t id, const std::optional<std::string>& path) {
  x("UPDATE items SET thumb_path=? WHERE id=?", {SQLValue::opt(path), id});
}

void Catalog::unlinkItem(std::int64_t id) {
  x("UPDATE items SET linked_item_id=NULL WHERE id=? OR linked_item_id=?", {id, id});
}

void Catalog::clearRemoved(const std::string& path, const std::optional<std::string>& sha256) {
  x("DELETE FROM removed_items WHERE path=? OR (sha256<>'' AND sha256=?)",
    {path, sha256.value_or("")});
}

// ---- Transactional writes ----

std::int64_t Catalog::addItem(const ArchiveItem& it) {
  std::int64_t newId = 0;
  bool ok = tx([&] {
    // Keep the id from the items insert: after the fts insert the connection's
    // last inserted row id is the fts row's.
    newId = db_.run(
        "INSERT INTO items (path, file_name, title, kind, file_size, file_modified, added, width, "
        "height, thumb_path, sha256, linked_item_id, ocr_status, favorite, notes) "
        "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
        {it.path, it.fileName, it.title, intOf(it.kind), it.fileSize, Stamp::string(it.fileModified),
         Stamp::string(it.added), it.width, it.height, SQLValue::opt(it.thumbnailPath), it.sha256,
         SQLValue::opt(it.linkedItemId), intOf(it.ocrStatus), SQLValue::flag(it.favorite),
         it.notes});
    updateFts(newId);
    updateNames(newId);
  });
  return ok ? newId : 0;
}

void Catalog::updateItem(const ArchiveItem& it) {
  tx([&] {
    db_.run(
        "UPDATE items SET path=?, file_name=?, title=?, kind=?, file_size=?, file_modified=?, "
        "width=?, height=?, thumb_path=?, sha256=?, linked_item_id=?, ocr_status=?, favorite=?, "
        "notes=? WHERE id=?",
        {it.path, it.fileName, it.title, intOf(it.kind), it.fileSize, Stamp::string(it.fileModified),
         it.width, it.height, SQLValue::opt(it.thumbnailPath), it.sha256,
         SQLValue::opt(it.linkedItemId), intOf(it.ocrStatus), SQLValue::flag(it.favorite),
         it.notes, it.id});
    updateFts(it.id);
    updateNames(it.id);
  });
}

void Catalog::linkItems(std::int64_t a, std::int64_t b) {
  tx([&] {
    db_.run("UPDATE items SET linked_item_id=NULL WHERE linked_item_id IN (?,?)", {a, b});
    db_.run("UPDATE items SET linked_item_id=? WHERE id=?", {b, a});
    db_.run("UPDATE items SET linked_item_id=? WHERE id=?", {a, b});
  });
}

int Catalog::relinkItems(const std::vector<std::pair<std::int64_t, std::string>>& moves) {
  int changed = 0;
  bool ok = tx([&] {
    for (const auto& [id, path] : moves) {
      db_.run("UPDATE OR IGNORE items SET path=?, file_name=? WHERE id=?",
              {path, lastPathComponent(path), id});
      changed += db_.changes();
      updateFts(id);
      updateNames(id);
    }
  });
  return ok ? changed : 0;
}

std::vector<RemovedItemSnapshot> Catalog::removeItems(const std::vector<std::int64_t>& ids) {
  std::vector<RemovedItemSnapshot> snapshots;
  bool ok = tx([&] {
    for (std::int64_t id : ids) {
      auto found = getItem(id);
      if (!found) continue;
      RemovedItemSnapshot snapshot;
      snapshot.item = *found;
      snapshot.transcription = getTranscription(id);
      for (const Person& p : peopleForItem(id)) snapshot.people.push_back(p.name);
      snapshot.dates = datesForItem(id);
      snapshot.translation = getTranslation(id);
      snapshots.push_back(std::move(snapshot));
      db_.run("INSERT INTO removed_items (sha256, path, removed) VALUES (?,?,?)",
              {found->sha256, found->path, Stamp::string(nowMicros())});
      db_.run("UPDATE items SET linked_item_id=NULL WHERE linked_item_id=?", {id});
      db_.run("DELETE FROM fts WHERE rowid=?", {id});
      db_.run("DELETE FROM translations_fts WHERE rowid=?", {id});
      db_.run("DELETE FROM item_names WHERE rowid=?", {id});
      db_.run("DELETE FROM items WHERE id=?", {id});
    }
  });
  if (!ok) return {};
  return snapshots;
}

std::vector<std::int64_t> Catalog::restoreRemovedItems(
    const std::vector<RemovedItemSnapshot>& snapshots) {
  std::vector<std::int64_t> restored;
  bool ok = tx([&] {
    for (const RemovedItemSnapshot& s : snapshots) {
      const ArchiveItem& it = s.item;
      if (!db_.query("SELECT 1 FROM items WHERE id=?", {it.id}).empty()) continue;
      if (!db_.query("SELECT 1 FROM items WHERE path=?", {it.path}).empty()) continue;
      db_.run(
          "INSERT INTO items (id, path, file_name, title, kind, file_size, file_modified, added, "
          "width, height, thumb_path, sha256, linked_item_id, ocr_status, favorite, notes) "
          "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,NULL,?,?,?)",
          {it.id, it.path, it.fileName, it.title, intOf(it.kind), it.fileSize,
           Stamp::string(it.fileModified), Stamp::string(it.added), it.width, it.height,
           SQLValue::opt(it.thumbnailPath), it.sha256, intOf(it.ocrStatus),
           SQLValue::flag(it.favorite), it.notes});
      if (s.transcription) {
        const Transcription& t = *s.transcription;
        db_.run(
            "INSERT INTO transcriptions (item_id, raw_text, text, engine, confidence, corrected, "
            "updated, uncertain) VALUES (?,?,?,?,?,?,?,?)",
            {it.id, t.rawText, t.text, t.engine, SQLValue::opt(t.confidence),
             SQLValue::flag(t.corrected), Stamp::string(t.updated), t.uncertainJson});
      }
      for (const std::string& name : s.people) {
        db_.run("INSERT OR IGNORE INTO people (name) VALUES (?)", {name});
        auto rows = db_.query("SELECT id FROM people WHERE name=? COLLATE NOCASE", {name});
        if (!rows.empty())
          db_.run("INSERT OR IGNORE INTO item_people (item_id, person_id) VALUES (?,?)",
                  {it.id, rows.front().int64("id")});
      }
      if (s.translation) {
        const Translation& t = *s.translation;
        db_.run(
            "INSERT OR REPLACE INTO translations (item_id, language, language_name, text, engine, "
            "source_hash, updated) VALUES (?,?,?,?,?,?,?)",
            {it.id, t.language, t.languageName, t.text, t.engine, t.sourceHash,
             Stamp::string(t.updated)});
        db_.run("INSERT INTO translations_fts (rowid, item_id, text) VALUES (?1,?1,?2)", {it.id, t.text});
      }
      for (const ItemDate& d : s.dates) {
        db_.run("INSERT INTO item_dates (item_id, value, source, confirmed) VALUES (?,?,?,?)",
                {it.id, d.value, d.source, SQLValue::flag(d.confirmed)});
      }
      db_.run("DELETE FROM removed_items WHERE path=? OR (sha256<>'' AND sha256=?)",
              {it.path, it.sha256});
      restored.push_back(it.id);
    }

    // Links: a partner that was linked to another item in the meantime keeps
    // that link, and the restored item stays unlinked, so links stay symmetric.
    std::unordered_set<std::int64_t> restoredIds(restored.begin(), restored.end());
    for (const RemovedItemSnapshot& s : snapshots) {
      if (!s.item.linkedItemId || !restoredIds.count(s.item.id)) continue;
      std::int64_t id = s.item.id;
      std::int64_t partner = *s.item.linkedItemId;
      auto rows = db_.query("SELECT linked_item_id FROM items WHERE id=?", {partner});
      if (rows.empty()) continue;
      auto partnerLink = rows.front().optInt("linked_item_id");
      if (partnerLink && *partnerLink != id) continue;
      db_.run("UPDATE items SET linked_item_id=? WHERE id=?", {partner, id});
      db_.run("UPDATE items SET linked_item_id=? WHERE id=?", {id, partner});
    }

    for (std::int64_t id : restored) {
      updateFts(id);
      updateNames(id);
      updateUncertain(id);
    }
  });
  if (!ok) return {};
  return restored;
}

int Catalog::repointThumbnails(const std::string& folder) {
  int changed = 0;
  bool ok = tx([&] {
    for (const Row& row : db_.query("SELECT id, thumb_path FROM items WHERE thumb_path IS NOT NULL "
                                    "AND thumb_path <> ''")) {
      std::string stored = row.str("thumb_path");
      std::string slashed = stored;
      for (char& c : slashed)
        if (c == '\\') c = '/';
      std::string name;
      std::size_t end = slashed.find_last_not_of('/');
      if (end == std::string::npos) {
        name = stored;  // nothing but separators
      } else {
        std::size_t start = slashed.rfind('/', end);
        start = start == std::string::npos ? 0 : start + 1;
        name = slashed.substr(start, end - start + 1);
      }
      std::string repointed = folder + "/" + name;
      if (repointed == stored) continue;
      db_.run("UPDATE items SET thumb_path=? WHERE id=?", {repointed, row.int64("id")});
      ++changed;
    }
  });
  return ok ? changed : 0;
}

}  // namespace quorvel
