#pragma once
// A fresh catalog in a temporary folder, with helpers to add items and to read
// rows the public operations don't show (fts, tombstones).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/catalog.h"
#include "test_support.h"

namespace quorvel {

class CatalogTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::unique_ptr<Catalog> catalog = std::make_unique<Catalog>(dir.file("catalog.db"));

  // An item at path, added at the given second (later seconds are newer).
  static ArchiveItem makeItem(const std::string& path, std::int64_t addedSecond = 0) {
    ArchiveItem item;
    item.path = path;
    item.fileName = path.substr(path.rfind('/') + 1);
    item.fileSize = 100;
    item.fileModified = 1'600'000'000'000'000;
    item.added = 1'700'000'000'000'000 + addedSecond * 1'000'000;
    item.width = 640;
    item.height = 480;
    item.sha256 = "sha-" + path;
    return item;
  }

  std::int64_t add(const std::string& path, std::int64_t addedSecond = 0) {
    std::int64_t id = catalog->addItem(makeItem(path, addedSecond));
    EXPECT_GT(id, 0) << path << ": " << catalog->lastError().value_or("");
    return id;
  }

  // The fts row of an item as column name to text; empty when it has none.
  std::vector<Row> ftsRows(std::int64_t id) {
    return catalog->db().query("SELECT * FROM fts WHERE item_id=?", {id});
  }
  std::string ftsColumn(std::int64_t id, const std::string& column) {
    auto rows = ftsRows(id);
    return rows.empty() ? "<no row>" : rows.front().str(column);
  }
  std::int64_t count(const std::string& table) {
    return catalog->db().query("SELECT COUNT(*) AS n FROM " + table).front().int64("n");
  }

  static std::vector<std::int64_t> idsOf(const std::vector<ArchiveItem>& items) {
    std::vector<std::int64_t> ids;
    for (const auto& item : items) ids.push_back(item.id);
    return ids;
  }
};

}  // namespace quorvel
