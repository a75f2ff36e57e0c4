#pragma once
// Putting a page's text back together from the texts of its tiles: each
// tile's reply is cleaned of the model's chatter, the tiles of a row are
// joined left to right by the words both neighbours read, the rows are
// stacked top to bottom without the lines the previous row already gave, and
// every word two readings disagree on is kept as an uncertain-word pair.
// Pure computation on UTF-8 text; any thread.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/models.h"
#include "core/page_tiler.h"

namespace quorvel {

// One tile's reply, split into lines. Only the tile's row and col are used.
struct TileText {
  PageTile tile;
  std::vector<std::string> lines;
};

// The merged page: its lines in reading order and the words to check.
struct MergedPage {
  std::vector<std::string> lines;
  std::vector<UncertainWord> uncertain;
};

struct LineMatch {
  bool same = false;   // the two lines are readings of one line
  bool exact = false;  // their normalised forms are equal
};

namespace TileMerger {

// The page from its tiles, given in any order.
MergedPage merge(const std::vector<TileText>& tiles);

// One model reply without code fences, a leading "...transcription:" line and
// bare refusals (which give ""); trimmed.
std::string cleanModelOutput(std::string_view text);

// One tile's lines, cleaned: no preamble, filler marks ("[?]", "___", "...",
// "??") turned into spaces, lines with fewer than 2 letters or digits dropped.
std::vector<std::string> clean(const std::vector<std::string>& lines);

// Lower-cased; runs of letters and digits kept, separated by single spaces.
// "Hello,  World!" gives "hello world".
std::string norm(std::string_view s);

// 1 - Levenshtein distance / longer length, over user-perceived characters
// (canonically equivalent ones equal); 1 for two empty texts, 0 when only one
// is empty.
double similarity(std::string_view x, std::string_view y);

// Same line: equal norms (exact), norms at least 0.8 similar, or the shorter
// norm of at least 8 characters contained in the longer.
LineMatch isSameLine(std::string_view a, std::string_view b);

// The line made of left-hand line a and right-hand line b when b continues a
// and the two overlap by whole (or cut) words; none otherwise.
std::optional<std::string> tryJoin(std::string_view a, std::string_view b);

// Appends to `uncertain` the word pairs in which two readings of one line
// differ: (Chosen from `first`, Alternative from `second`).
void collectDisagreements(std::string_view first, std::string_view second,
                          std::vector<UncertainWord>& uncertain);

}  // namespace TileMerger

}  // namespace quorvel
