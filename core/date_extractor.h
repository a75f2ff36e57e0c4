#pragma once
// Dates found by fixed patterns in file names and page texts, and date values
// turned into words for display. Stateless: any thread, at the same time.
// The patterns are ICU regular expressions compiled once, on first use.
#include <cstdint>
#include <string>
#include <vector>

#include "core/models.h"

namespace quorvel::DateExtractor {

// Every date the text speaks of, once each, as unsaved records (id 0, not
// confirmed, itemId as given, source the text that gave it), sorted by value
// (YYYY, YYYY-MM or YYYY-MM-DD). Underscores count as spaces. Empty when the
// text holds no date. A full date names a day of the Gregorian calendar (no
// 31 April, no 29 February 1900); four digits after a date written in digits
// are its time, not a year ("IMG_20190704_1530" gives no 1530).
std::vector<ItemDate> extract(const std::string& text, std::int64_t itemId);

// The dates of an item's text and of its file name without the extension
// ("1946-05-11 letter.png"), as extract gives them.
std::vector<ItemDate> extractForItem(const std::string& text, const std::string& fileName,
                                     std::int64_t itemId);

// "June 3, 1947" for "1947-06-03", "June 1947" for "1947-06", "1947" for
// "1947"; any other text comes back unchanged.
std::string pretty(const std::string& value);

}  // namespace quorvel::DateExtractor
