#pragma once
// A data folder with the stand-in model server installed, generated pages of
// "handwriting" (a black bar per word at known places) and the replies the
// stand-in gives for each of a page's tiles.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>
#include <vips/vips8>

#include "core/handwriting_engine.h"
#include "core/image_tools.h"
#include "core/page_tiler.h"
#include "test_support.h"

namespace quorvel::testing {

template <typename Condition>
bool eventually(Condition condition, double seconds = 20) {
  auto start = std::chrono::steady_clock::now();
  while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

class FakeReader {
 public:
  explicit FakeReader(const nlohmann::json& scenario = nlohmann::json::object()) {
    server_ = root_.path() + "/runtime/llama-server";
    std::filesystem::copy_file(std::string(QUORVEL_TOOLS_DIR) + "/fake-llama-server", server_);
    ::chmod(server_.c_str(), 0755);
    models_ = root_.path() + "/models";
    setScenario(scenario);
    writeFile(models_ + "/mmproj.gguf", "projector");
  }
  void setScenario(const nlohmann::json& scenario) {
    writeFile(models_ + "/model.gguf", scenario.dump());
  }
  HandwritingSettings settings() const {
    HandwritingSettings s;
    s.serverPath = server_;
    s.modelPath = models_ + "/model.gguf";
    s.mmprojPath = models_ + "/mmproj.gguf";
    return s;
  }
  const std::string& root() const { return root_.path(); }
  std::string record(const std::string& name) const { return models_ + "/" + name; }
  int launches() const {
    std::string text = readFile(record("fake-launches.txt"));
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }

 private:
  ScopedDataRoot root_;
  std::string server_;
  std::string models_;
};

// A page: lines of words, each word drawn as a black bar 24 pixels high at
// its place; 20 pixels a letter, 30 pixels between words, 220 between lines.
struct WordBox {
  std::string word;
  int x, y, width;
};

class GeneratedPage {
 public:
  GeneratedPage(std::vector<std::string> lines, int width, int height, int top = 100)
      : lines_(std::move(lines)), width_(width), height_(height) {
    for (std::size_t l = 0; l < lines_.size(); ++l) {
      int x = 80;
      std::string word;
      std::vector<WordBox> row;
      auto flush = [&] {
        if (word.empty()) return;
        int w = 20 * static_cast<int>(word.size());
        if (x + w > width_ - 40) x = 80;  // never beyond the page
        row.push_back({word, x, top + static_cast<int>(l) * 220, w});
        x += w + 30;
        word.clear();
      };
      for (char c : lines_[l] + " ") c == ' ' ? flush() : void(word += c);
      boxes_.push_back(row);
    }
  }

  // Writes the page as PNG.
  std::string write(const std::string& path) const {
    ImageTools::ensureStarted();
    vips::VImage img = vips::VImage::black(width_, height_, vips::VImage::option()->set("bands", 3)) + 255;
    img = img.cast(VIPS_FORMAT_UCHAR);
    for (const auto& row : boxes_)
      for (const WordBox& b : row)
        img.draw_rect({0, 0, 0}, b.x, b.y, b.width, 24, vips::VImage::option()->set("fill", true));
    img.write_to_file(path.c_str());
    return path;
  }

  // What a model would read in a tile: every line whose words lie wholly
  // inside the tile's rows, with the words that lie wholly inside its columns.
  // (Pages for these tests share a whole word across each column seam.)
  std::vector<std::string> readTile(const PageTile& tile, double scale) const {
    std::vector<std::string> out;
    for (const auto& row : boxes_) {
      std::string line;
      for (const WordBox& b : row) {
        double x0 = b.x * scale, x1 = (b.x + b.width) * scale;
        double y0 = b.y * scale, y1 = (b.y + 24) * scale;
        if (y0 < tile.y || y1 > tile.y + tile.height) break;
        if (x0 < tile.x || x1 > tile.x + tile.width) continue;
        line += (line.empty() ? "" : " ") + b.word;
      }
      if (!line.empty()) out.push_back(line);
    }
    return out;
  }

  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
  std::vector<std::vector<WordBox>> boxes_;
  int width_, height_;
};

// The stand-in's replies for the page's tiles, in reading order: the tiler
// cuts the page with the settings' values, the same cut the engine makes.
inline nlohmann::json repliesFor(const GeneratedPage& page, const std::string& path,
                                 const HandwritingSettings& s, const std::string& workDir) {
  std::optional<TileCut> cut = PageTiler::cut(path, workDir, s.tilingMaxSqueeze(),
                                              s.tilingTileHeight(), s.tilingOverlap(), 2000,
                                              s.skipBlankTiles);
  nlohmann::json replies = nlohmann::json::array();
  if (!cut) return replies;
  ImageTools::PixelSize size = ImageTools::dimensions(path);
  double scale = static_cast<double>(cut->layout.width) / size.width;
  for (const PageTile& tile : cut->tiles) {
    std::string text;
    for (const std::string& line : page.readTile(tile, scale)) text += line + "\n";
    replies.push_back({{"content", text}});
  }
  std::filesystem::remove_all(workDir);
  return replies;
}

}  // namespace quorvel::testing
