#pragma once
// A set of generated pages with known text for measuring printed-text
// reading, and the scores of a reading against the text.
//
// The pages are the kinds a family archive holds: typed letters, a
// two-column newspaper cutting, a certificate with a printed border, a ruled
// recipe card, a postcard, a telegram, German and French letters with their
// accents, letters typed in type of one width whose spaces line up from line
// to line (one drawn as the demo archive draws its letters), filled-in
// forms, a large 400-dpi scan of a long report, faded and grey pages (a
// carbon copy, a photocopy), and sheets lying on a scanner's dark bed. They
// are drawn with libvips text (Pango) at a known resolution, some of them
// degraded (faded ink on yellowed paper, turned, blurred, grainy, paper
// texture, JPEG artefacts), and saved in every format the archive takes (jpg,
// png, tif, webp, heic, bmp), some with a density field and some without or
// with a camera's 72 dpi.
#include <cstddef>
#include <string>
#include <vector>

namespace quorvel::OcrEvaluation {

struct Page {
  std::string name;    // unique, e.g. "newspaper-1"
  std::string kind;    // "letter", "newspaper", "certificate", "recipe", "postcard",
                       // "telegram", "german", "french", "typed", "form", "large",
                       // "faded", "scanbed"
  std::string format;  // the file's extension
  std::string density; // how the file states its resolution: "stated", "none" or "72 dpi"
  int dpi = 300;       // the resolution the page was drawn at
  std::string truth;   // the text as printed, in reading order
  std::string path;    // the written file
  std::string language = "en";  // of the text, as a language tag: "en", "de" or "fr"
};

// Writes the pages into the folder (which must exist) and returns them in a
// fixed order. `small` gives a subset of a few small pages (a card, a
// postcard, a German and a French note) for quick checks. Pages that cannot
// be written are left out; libvips must be started.
std::vector<Page> writePages(const std::string& folder, bool small);
// Writes only the pages of those names, in the same order.
std::vector<Page> writeNamedPages(const std::string& folder, const std::vector<std::string>& names);

// Scores of one reading, or summed over several.
struct Score {
  std::size_t edits = 0;            // character edits from the truth to the reading
  std::size_t characters = 0;       // characters of the truth
  std::size_t words = 0;            // words of the truth
  std::size_t wordsFound = 0;       // of them found in the reading
  std::size_t accentedWords = 0;    // words of the truth with a letter outside ASCII
  std::size_t accentedFound = 0;    // of them found in the reading

  // Character error rate: edits over characters (0 for no characters).
  double cer() const;
  // Words found over words; 1 for no words.
  double wordRecall() const;
  // Accented words found over accented words; 1 for none.
  double accentedRecall() const;
  Score& operator+=(const Score& other);
};

// The reading scored against the truth. Both texts are compared with runs of
// white space as one space and typographic quotes and dashes as plain ones.
// Words are the text between spaces with punctuation taken off both ends,
// compared exactly (case and accents count); each word of the reading counts
// for one word of the truth.
Score score(const std::string& truth, const std::string& reading);

}  // namespace quorvel::OcrEvaluation
