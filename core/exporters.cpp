// GEDCOM 5.5.1 export of the people and their scans, and the searchable PDF
// of one scan (PoDoFo: the scan image with invisible text over it).
#include "core/exporters.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <podofo/podofo.h>
#include <initializer_list>
#include <string>
#include <system_error>
#include <vector>

#include "core/catalog.h"
#include "core/date_extractor.h"
#include "core/failure.h"
#include "core/image_tools.h"
#include "core/import_pipeline.h"
#include "core/text.h"

namespace quorvel {

namespace {

using text::replaceAll;

std::string doubledAt(const std::string& text) { return replaceAll(text, "@", "@@"); }

// A value that must stay on its line: line breaks become spaces.
std::string oneLine(const std::string& text) {
  std::string out = replaceAll(text, "\r\n", " ");
  std::replace(out.begin(), out.end(), '\r', ' ');
  std::replace(out.begin(), out.end(), '\n', ' ');
  return out;
}

std::string trimmedSpacesAndTabs(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "08 DEC 2026", in UTC.
std::string gedcomToday() {
  static const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                        "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d %s %04d", utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900);
  return buffer;
}

// A NOTE at `level` with CONT lines for line breaks and CONC lines for the
// parts of lines beyond 200 characters.
void appendNote(std::string& out, int level, const std::string& note) {
  // A lone carriage return is a line break too: readers take it as one and
  // would drop the rest of the line.
  std::string text = replaceAll(note, "\r\n", "\n");
  std::replace(text.begin(), text.end(), '\r', '\n');
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (true) {
    const auto newline = text.find('\n', start);
    lines.push_back(text.substr(start, newline == std::string::npos ? std::string::npos : newline - start));
    if (newline == std::string::npos) break;
    start = newline + 1;
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto characters = text::graphemes(doubledAt(lines[i]));
    std::size_t offset = 0;
    bool firstPiece = true;
    do {
      std::string piece;
      for (std::size_t k = offset; k < std::min(characters.size(), offset + 200); ++k) piece += characters[k];
      offset += 200;
      if (firstPiece) {
        out += i == 0 ? std::to_string(level) + " NOTE " : std::to_string(level + 1) + " CONT ";
      } else {
        out += std::to_string(level + 1) + " CONC ";
      }
      out += piece + "\r\n";
      firstPiece = false;
    } while (offset < characters.size());
  }
}

std::string extensionOf(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return "";
  return text::lowercased(name.substr(dot + 1));
}

// Writes the pieces one after another to "<to>.partial" and moves it over
// `to`; throws the file system's error and leaves `to` as it was on any
// failure. Pieces, so that a large export is never copied into one string.
void writeThenMove(const std::string& to, std::initializer_list<std::string_view> pieces) {
  const std::string partial = to + ".partial";
  auto fail = [&](int error) {
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);  // clean-up; its own failure does not matter
    throw std::filesystem::filesystem_error("Couldn't write the file", to, std::error_code(error, std::generic_category()));
  };
  const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::filesystem::filesystem_error("Couldn't write the file", to, std::error_code(errno, std::generic_category()));
  for (std::string_view bytes : pieces) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        ::close(fd);
        fail(error);
      }
      done += static_cast<std::size_t>(n);
    }
  }
  if (::fsync(fd) != 0 && errno != EINVAL) {
    const int error = errno;
    ::close(fd);
    fail(error);
  }
  if (::close(fd) != 0) fail(errno);
  std::error_code moved;
  std::filesystem::rename(partial, to, moved);
  if (moved) fail(moved.value());
}

}  // namespace

namespace GedcomExporter {

std::string nameToGedcom(const std::string& name) {
  std::vector<std::string> pieces;
  const std::string flat = oneLine(name);
  std::size_t start = 0;
  while (start <= flat.size()) {
    auto space = flat.find(' ', start);
    if (space == std::string::npos) space = flat.size();
    if (space > start) pieces.push_back(doubledAt(flat.substr(start, space - start)));
    start = space + 1;
  }
  if (pieces.empty()) return "//";
  if (pieces.size() == 1) return "/" + pieces[0] + "/";
  std::string given;
  for (std::size_t i = 0; i + 1 < pieces.size(); ++i) given += (i ? " " : "") + pieces[i];
  return given + " /" + pieces.back() + "/";
}

void exportTo(Catalog& catalog, const std::string& to, bool includeTranscriptions) {
  std::string main =
      "0 HEAD\r\n"
      "1 SOUR QUORVEL_INK\r\n"
      "2 NAME Quorvel Ink\r\n"
      "2 VERS 1.0\r\n"
      "1 GEDC\r\n"
      "2 VERS 5.5.1\r\n"
      "2 FORM LINEAGE-LINKED\r\n"
      "1 CHAR UTF-8\r\n";
  main += "1 DATE " + gedcomToday() + "\r\n";
  // 5.5.1 requires a submitter.
  main += "1 SUBM @U1@\r\n0 @U1@ SUBM\r\n1 NAME Quorvel Ink\r\n";

  std::string media;
  int counter = 0;
  for (const auto& person : catalog.listPeople()) {
    main += "0 @I" + std::to_string(person.id) + "@ INDI\r\n";
    main += "1 NAME " + nameToGedcom(person.name) + "\r\n";
    if (!text::trimmed(person.notes).empty()) appendNote(main, 1, person.notes);
    for (const auto& item : catalog.itemsForPerson(person.id)) {
      const int n = ++counter;
      main += "1 OBJE @M" + std::to_string(n) + "@\r\n";
      media += "0 @M" + std::to_string(n) + "@ OBJE\r\n";
      media += "1 FILE " + oneLine(item.path) + "\r\n";
      media += "2 FORM " + oneLine(extensionOf(item.path)) + "\r\n";
      const std::string title = trimmedSpacesAndTabs(item.title).empty() ? item.fileName : item.title;
      media += "2 TITL " + doubledAt(oneLine(title)) + "\r\n";
      const auto dates = catalog.datesForItem(item.id);
      if (!dates.empty()) {
        std::string shown;
        for (std::size_t i = 0; i < dates.size(); ++i) shown += (i ? "; " : "") + DateExtractor::pretty(dates[i].value);
        media += "1 DATE " + oneLine(shown) + "\r\n";
      }
      if (includeTranscriptions) {
        if (auto t = catalog.getTranscription(item.id); t && !text::trimmed(t->text).empty()) {
          appendNote(media, 1, t->corrected ? t->text : "[auto-transcribed, unverified]\n" + t->text);
        }
      }
    }
  }
  writeThenMove(to, {main, media, "0 TRLR\r\n"});
}

}  // namespace GedcomExporter

namespace PdfExporter {

namespace {

PoDoFo::PdfString pdfText(const std::string& utf8) {
  return PoDoFo::PdfString(reinterpret_cast<const PoDoFo::pdf_utf8*>(utf8.c_str()));
}

// The line cut at spaces and tabs into pieces no wider than `width` at the font's size, so
// that no word runs off the page; a word wider than that alone is a piece of its own.
std::vector<std::string> wrapped(const std::string& line, const PoDoFo::PdfFont& font, double width) {
  const PoDoFo::PdfFontMetrics& metrics = *font.GetFontMetrics();
  std::vector<std::string> pieces;
  std::string current;
  std::size_t start = 0;
  while (start < line.size()) {
    std::size_t end = line.find_first_of(" \t", start);
    if (end == std::string::npos) end = line.size();
    if (end > start) {
      const std::string word = line.substr(start, end - start);
      const std::string longer = current.empty() ? word : current + " " + word;
      if (current.empty() || metrics.StringWidth(pdfText(longer)) <= width) {
        current = longer;
      } else {
        pieces.push_back(current);
        current = word;
      }
    }
    start = end + 1;
  }
  if (!current.empty()) pieces.push_back(current);
  return pieces;
}

}  // namespace

void exportSearchablePdf(const ArchiveItem& item, const std::optional<Transcription>& transcription,
                         const std::string& to) {
  auto image = ImageTools::load(item.path, 12000);
  if (!image) throw Failure("Couldn't open the scan: " + item.path);
  auto jpeg = ImageTools::jpegData(*image, 0.9);
  if (!jpeg) throw Failure("Couldn't open the scan: " + item.path);
  const double W = image->width(), H = image->height();

  std::vector<std::string> lines;
  if (transcription) {
    const std::string all = replaceAll(transcription->text.empty() ? transcription->rawText : transcription->text,
                                       "\r\n", "\n");
    std::size_t start = 0;
    while (start <= all.size()) {
      auto newline = all.find('\n', start);
      if (newline == std::string::npos) newline = all.size();
      auto line = trimmedSpacesAndTabs(all.substr(start, newline - start));
      if (!line.empty()) lines.push_back(line);
      start = newline + 1;
    }
  }

  std::string bytes;
  try {
    PoDoFo::PdfMemDocument document;
    PoDoFo::PdfPage* page = document.CreatePage(PoDoFo::PdfRect(0, 0, W, H));
    PoDoFo::PdfImage picture(&document);
    picture.LoadFromJpegData(jpeg->data(), static_cast<PoDoFo::pdf_long>(jpeg->size()));
    PoDoFo::PdfPainter painter;
    painter.SetPage(page);
    painter.DrawImage(0, 0, &picture, W / picture.GetWidth(), H / picture.GetHeight());
    if (!lines.empty()) {
      const double margin = 0.08 * H;
      const double left = 0.06 * W;
      const double width = W - 2 * left;  // the same margin on the right
      auto sizeFor = [&](std::size_t count) {
        const double pitch = std::max(H - 2 * margin, 100.0) / static_cast<double>(count);
        return std::max(std::min(W / 40, 0.8 * pitch), 8.0);
      };
      // Liberation Sans stands in for Helvetica; the identity encoding keeps
      // every letter (accents included) extractable.
      PoDoFo::PdfFont* font = document.CreateFontSubset(
          "Liberation Sans", false, false, false, PoDoFo::PdfEncodingFactory::GlobalIdentityEncodingInstance());
      if (!font) throw Failure("Couldn't write the PDF.");
      // Long lines (a corrected paragraph, a handwriting reading) are wrapped to the page at
      // the size their count gives; the pieces then share the page, which can only make the
      // size smaller, so every piece still fits.
      const double firstSize = sizeFor(lines.size());
      font->SetFontSize(static_cast<float>(firstSize));
      std::vector<std::string> pieces;
      for (const std::string& line : lines) {
        for (std::string& piece : wrapped(line, *font, width)) pieces.push_back(std::move(piece));
      }
      const double pitch = std::max(H - 2 * margin, 100.0) / static_cast<double>(pieces.size());
      const double size = std::min(firstSize, sizeFor(pieces.size()));
      font->SetFontSize(static_cast<float>(size));
      painter.SetFont(font);
      painter.SetTextRenderingMode(PoDoFo::ePdfTextRenderingMode_Invisible);
      for (std::size_t j = 0; j < pieces.size(); ++j) {
        const double baseline = H - margin - pitch * static_cast<double>(j) - size;
        const double pieceWidth = font->GetFontMetrics()->StringWidth(pdfText(pieces[j]));
        if (pieceWidth <= width) {
          painter.DrawText(left, baseline, pdfText(pieces[j]));
          continue;
        }
        // One word wider than the page: narrowed to fit; the saved state keeps the scaling
        // to this word.
        painter.Save();
        font->SetFontScale(static_cast<float>(100.0 * width / pieceWidth));
        painter.DrawText(left, baseline, pdfText(pieces[j]));
        font->SetFontScale(100.0F);
        painter.Restore();
      }
    }
    painter.FinishPage();
    PoDoFo::PdfRefCountedBuffer buffer;
    PoDoFo::PdfOutputDevice device(&buffer);
    document.Write(&device);
    bytes.assign(buffer.GetBuffer(), device.GetLength());
  } catch (const PoDoFo::PdfError& error) {
    Log::append("export.log", to + ": PDF error " + std::to_string(error.GetError()));
    throw Failure("Couldn't write the PDF.");
  }
  try {
    writeThenMove(to, {bytes});
  } catch (const std::filesystem::filesystem_error& error) {
    Log::append("export.log", to + ": " + error.code().message());
    throw Failure("Couldn't write the PDF.");
  }
}

}  // namespace PdfExporter

}  // namespace quorvel
