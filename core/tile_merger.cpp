#include "core/tile_merger.h"

namespace quorvel::TileMerger {

MergedPage merge(const std::vector<TileText>&) { return {}; }
std::string cleanModelOutput(std::string_view text) { return std::string(text); }
std::vector<std::string> clean(const std::vector<std::string>& lines) { return lines; }
std::string norm(std::string_view s) { return std::string(s); }
double similarity(std::string_view x, std::string_view y) { return x == y ? 1 : 0; }
LineMatch isSameLine(std::string_view a, std::string_view b) { return {a == b, a == b}; }
std::optional<std::string> tryJoin(std::string_view, std::string_view) { return std::nullopt; }
void collectDisagreements(std::string_view, std::string_view, std::vector<UncertainWord>&) {}

}  // namespace quorvel::TileMerger
