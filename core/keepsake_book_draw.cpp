// Drawing the pages of the keepsake book into cairo's PDF surface.
#include <cairo-pdf.h>
#include <fcntl.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <vector>

#include "core/date_extractor.h"
#include "core/image_tools.h"
#include "core/import_pipeline.h"
#include "core/keepsake_book_text.h"
#include "core/models.h"

namespace quorvel::KeepsakeBook {

namespace {

constexpr const char* kMissingScan = "The scan couldn't be found when this book was made.";
constexpr const char* kColophon =
    "Each letter appears as it was written, with the words typed out on the facing page.\n"
    "Made with Quorvel Ink.";

// The month and year in the user's locale ("December 2026").
std::string monthAndYear() {
  UErrorCode status = U_ZERO_ERROR;
  icu::SimpleDateFormat format(icu::UnicodeString("MMMM yyyy"), icu::Locale::getDefault(), status);
  if (U_FAILURE(status)) return "";
  icu::UnicodeString out;
  format.format(static_cast<UDate>(nowMicros() / 1000), out);
  std::string text;
  out.toUTF8String(text);
  return text;
}

void freeBytes(void* data) { delete static_cast<std::vector<std::uint8_t>*>(data); }

// 8-bit sRGB pixels of the image copied into a cairo surface.
cairo_surface_t* surfaceOf(const vips::VImage& source) {
  vips::VImage image = source;
  if (image.has_alpha()) image = image.flatten(vips::VImage::option()->set("background", 255));
  if (image.bands() < 3) image = image.colourspace(VIPS_INTERPRETATION_sRGB);
  if (image.bands() > 3) image = image.extract_band(0, vips::VImage::option()->set("n", 3));
  if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
  const int width = image.width(), height = image.height();
  std::size_t size = 0;
  auto* pixels = static_cast<std::uint8_t*>(image.write_to_memory(&size));
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
    cairo_surface_flush(surface);
    unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < height; ++y) {
      auto* row = reinterpret_cast<std::uint32_t*>(data + static_cast<std::size_t>(y) * stride);
      const std::uint8_t* in = pixels + static_cast<std::size_t>(y) * width * 3;
      for (int x = 0; x < width; ++x, in += 3) {
        row[x] = (0xFFu << 24) | (std::uint32_t(in[0]) << 16) | (std::uint32_t(in[1]) << 8) | in[2];
      }
    }
    cairo_surface_mark_dirty(surface);
  }
  g_free(pixels);
  return surface;
}

}  // namespace

std::optional<BookImage> bookImage(const std::string& path, int longestEdge) {
  // Decoded straight at the book's size: a 600-dpi page is some 35 million
  // pixels, and shrink-on-load keeps both the time and the memory small.
  auto loaded = ImageTools::load(path, longestEdge);
  if (!loaded) return std::nullopt;
  try {
    vips::VImage image = *loaded;
    const int longer = std::max(image.width(), image.height());
    if (longer > longestEdge) image = ImageTools::resize(image, static_cast<double>(longestEdge) / longer);
    // The PDF embeds these JPEG bytes as they are (cairo's JPEG passthrough);
    // the pixels serve cairo only where it cannot use them.
    std::optional<std::vector<std::uint8_t>> jpeg = ImageTools::jpegData(image, 0.86);
    cairo_surface_t* surface = surfaceOf(image);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(surface);
      return std::nullopt;
    }
    if (jpeg) {
      auto* bytes = new std::vector<std::uint8_t>(std::move(*jpeg));
      if (cairo_surface_set_mime_data(surface, CAIRO_MIME_TYPE_JPEG, bytes->data(), bytes->size(), freeBytes,
                                      bytes) != CAIRO_STATUS_SUCCESS) {
        delete bytes;
      }
    }
    BookImage result;
    result.width = cairo_image_surface_get_width(surface);
    result.height = cairo_image_surface_get_height(surface);
    result.surface = std::shared_ptr<cairo_surface_t>(surface, cairo_surface_destroy);
    return result;
  } catch (const vips::VError& error) {
    Log::append("book.log", path + ": " + error.what());
    return std::nullopt;
  }
}

// ---- Canvas ----

void Canvas::setColor(Color color) { cairo_set_source_rgba(cr_, color.red, color.green, color.blue, color.alpha); }

double Canvas::line(const std::string& text, Font font, Color color, double x, double baseline, Align align,
                    std::optional<double> fitWidth) {
  LayoutPtr layout = type_.singleLine(text, font, fitWidth);
  const double width = Typesetter::width(layout.get());
  double left = x;
  if (align == Align::centre) left = x - width / 2;
  if (align == Align::right) left = x - width;
  setColor(color);
  cairo_move_to(cr_, left, cy(baseline));
  pango_cairo_show_layout_line(cr_, pango_layout_get_line_readonly(layout.get(), 0));
  return width;
}

void Canvas::frame(const StyledText& text, std::size_t from, std::size_t limit, const Rect& rect) {
  const auto fill = type_.fill(text, from, limit, rect.width, rect.height);
  const double top = cy(rect.maxY());
  for (const auto& placed : fill.lines) {
    cairo_move_to(cr_, rect.x + placed.x, top + placed.baseline);
    pango_cairo_show_layout_line(cr_, pango_layout_get_line_readonly(placed.layout.get(), placed.index));
  }
}

double Canvas::suggestedHeight(const StyledText& text, double width, double maxHeight) {
  return type_.fill(text, 0, text.text.size(), width, maxHeight).height;
}

void Canvas::strokeRect(const Rect& rect, Color color, double lineWidth) {
  setColor(color);
  cairo_set_line_width(cr_, lineWidth);
  cairo_rectangle(cr_, rect.x, cy(rect.maxY()), rect.width, rect.height);
  cairo_stroke(cr_);
}

void Canvas::fillRect(const Rect& rect, Color color) {
  setColor(color);
  cairo_rectangle(cr_, rect.x, cy(rect.maxY()), rect.width, rect.height);
  cairo_fill(cr_);
}

void Canvas::hline(double x0, double x1, double y, Color color, double lineWidth) {
  setColor(color);
  cairo_set_line_width(cr_, lineWidth);
  cairo_move_to(cr_, x0, cy(y));
  cairo_line_to(cr_, x1, cy(y));
  cairo_stroke(cr_);
}

void Canvas::diamond(double cx, double cyPdf, double half, Color color) {
  setColor(color);
  cairo_move_to(cr_, cx, cy(cyPdf + half));
  cairo_line_to(cr_, cx + half, cy(cyPdf));
  cairo_line_to(cr_, cx, cy(cyPdf - half));
  cairo_line_to(cr_, cx - half, cy(cyPdf));
  cairo_close_path(cr_);
  cairo_fill(cr_);
}

void Canvas::card(const Rect& rect, double blur) {
  // Cairo has no blurred shadows: rings of falling opacity stand in for one.
  const int steps = std::max(1, static_cast<int>(std::ceil(blur)));
  for (int i = steps; i >= 1; --i) {
    const double grow = blur * i / steps;
    Color shade = paperShadow;
    shade.alpha = paperShadow.alpha / steps;
    fillRect({rect.x - grow / 2, rect.y - 2 - grow / 2, rect.width + grow, rect.height + grow}, shade);
  }
  fillRect(rect, {1, 1, 1, 1});
}

void Canvas::image(const BookImage& image, const Rect& rect) {
  cairo_save(cr_);
  cairo_translate(cr_, rect.x, cy(rect.maxY()));
  cairo_scale(cr_, rect.width / image.width, rect.height / image.height);
  cairo_set_source_surface(cr_, image.surface.get(), 0, 0);
  cairo_paint(cr_);
  cairo_restore(cr_);
  drawn_.push_back(image.surface);
}

void Canvas::releaseImages() {
  for (const auto& surface : drawn_) {
    cairo_surface_set_mime_data(surface.get(), CAIRO_MIME_TYPE_JPEG, nullptr, 0, nullptr, nullptr);
    cairo_surface_finish(surface.get());
  }
  drawn_.clear();
}

// ---- PdfBook ----

PdfBook::PdfBook(const std::string& path, double width, double height, const std::string& title,
                 const std::string& creator)
    : path_(path), height_(height) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    Log::append("book.log", path + ": " + std::strerror(errno));
    return;
  }
  surface_ = cairo_pdf_surface_create_for_stream(&PdfBook::write, this, width, height);
  cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_TITLE, title.c_str());
  cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_CREATOR, creator.c_str());
  cr_ = cairo_create(surface_);
}

PdfBook::~PdfBook() {
  if (cr_) cairo_destroy(cr_);
  if (surface_) cairo_surface_destroy(surface_);
  if (fd_ >= 0) ::close(fd_);  // only after a failure; finish() closes it otherwise
}

cairo_status_t PdfBook::write(void* closure, const unsigned char* data, unsigned int length) {
  auto* self = static_cast<PdfBook*>(closure);
  if (self->writeFailed_ || self->fd_ < 0) return CAIRO_STATUS_WRITE_ERROR;
  while (length > 0) {
    const ssize_t written = ::write(self->fd_, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      Log::append("book.log", self->path_ + ": " + std::strerror(errno));
      self->writeFailed_ = true;
      return CAIRO_STATUS_WRITE_ERROR;
    }
    data += written;
    length -= static_cast<unsigned int>(written);
  }
  return CAIRO_STATUS_SUCCESS;
}

bool PdfBook::ok() const {
  return fd_ >= 0 && !writeFailed_ && surface_ && cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS &&
         cairo_status(cr_) == CAIRO_STATUS_SUCCESS;
}

Canvas& PdfBook::canvas(Typesetter& typesetter) {
  if (!canvas_) canvas_ = std::make_unique<Canvas>(cr_, typesetter, height_);
  return *canvas_;
}

void PdfBook::endPage() {
  cairo_show_page(cr_);
  if (canvas_) canvas_->releaseImages();
}

bool PdfBook::finish() {
  if (!surface_) return false;
  cairo_surface_finish(surface_);
  bool good = ok();
  if (fd_ >= 0) {
    if (::close(fd_) != 0) {  // never retried: the descriptor is gone either way
      Log::append("book.log", path_ + ": " + std::strerror(errno));
      good = false;
    }
    fd_ = -1;
  }
  return good && !writeFailed_;
}

void PdfBook::abandon() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);  // clean-up: its own failure does not matter
}

// ---- Page kinds ----

double Layout::pageHeading(Canvas& canvas, const std::string& text, const Rect& rect) const {
  canvas.line(text, {Face::baskerville, 24}, ink, rect.x, rect.maxY() - 30);
  canvas.hline(rect.x, rect.maxX(), rect.maxY() - 46, accent, 0.6);
  return rect.maxY() - 80;
}

void Layout::folio(Canvas& canvas, int number) const {
  canvas.line(std::to_string(number), {Face::georgia, 9}, soft, pageWidth / 2, marginBottom - 36,
              Canvas::Align::centre);
}

void Layout::captionBlock(Canvas& canvas, const Entry& entry, double x, double width, double top) const {
  canvas.line(entry.item.displayTitle(), {Face::baskervilleItalic, 11.5}, ink, x, top, Canvas::Align::left, width);
  const std::string metaText = meta(entry);
  if (!metaText.empty()) {
    canvas.line(metaText, {Face::georgia, 9}, soft, x, top - 15, Canvas::Align::left, width);
  }
}

void Layout::ornament(Canvas& canvas, double x, double y) const {
  canvas.hline(x - 70, x - 14, y, accent, 0.6);
  canvas.hline(x + 14, x + 70, y, accent, 0.6);
  canvas.diamond(x, y, 3 * std::sqrt(2.0), accent);
}

void Layout::drawCover(Canvas& canvas, const KeepsakeOptions& options, const std::optional<std::string>& span,
                       const std::vector<Entry>& entries) const {
  const double W = pageWidth, H = pageHeight;
  canvas.strokeRect({36, 36, W - 72, H - 72}, accent, 0.8);
  canvas.strokeRect({42, 42, W - 84, H - 84}, accent, 0.4);

  StyledText title;
  title.append(options.title.empty() ? std::string("Our Family Letters") : options.title, TextStyle::coverTitle);
  const double height = canvas.suggestedHeight(title, W - 180, 300);
  canvas.frame(title, 0, title.text.size(), {90, 0.64 * H, W - 180, std::ceil(height) + 2});

  ornament(canvas, W / 2, 0.64 * H - 22);
  double y = 0.64 * H - 62;
  if (!options.subtitle.empty()) {
    canvas.line(options.subtitle, {Face::baskervilleItalic, 18}, soft, W / 2, y, Canvas::Align::centre);
    y -= 30;
  }
  if (span) canvas.line(*span, {Face::baskerville, 15}, accent, W / 2, y, Canvas::Align::centre);

  auto photo = std::find_if(entries.begin(), entries.end(),
                            [](const Entry& e) { return e.item.kind == ItemKind::photo; });
  if (photo != entries.end()) {
    if (auto picture = bookImage(photo->item.path, 1400)) {
      const double scale = std::min(0.2 * H / picture->height, 0.36 * W / picture->width);
      const double w = picture->width * scale, h = picture->height * scale;
      const Rect rect{(W - w) / 2, 150, w, h};
      canvas.card({rect.x - 8, rect.y - 8, rect.width + 16, rect.height + 16}, 6);
      canvas.image(*picture, rect);
    }
  }

  double baseline = 92;
  if (!options.compiledBy.empty()) {
    canvas.line("Compiled by " + options.compiledBy, {Face::georgiaItalic, 11}, soft, W / 2, 92,
                Canvas::Align::centre);
    baseline = 76;
  }
  canvas.line(monthAndYear(), {Face::georgia, 10}, soft, W / 2, baseline, Canvas::Align::centre);
}

void Layout::drawColophon(Canvas& canvas, const KeepsakeOptions&) const {
  StyledText text;
  text.append(kColophon, TextStyle::colophon);
  canvas.frame(text, 0, text.text.size(), {90, marginBottom, pageWidth - 180, 40});
}

void Layout::drawDedication(Canvas& canvas, const std::string& dedication) const {
  StyledText text;
  text.append(dedication, TextStyle::dedication);
  const double m = canvas.suggestedHeight(text, pageWidth - 200, pageHeight);
  canvas.frame(text, 0, text.text.size(), {100, 0.62 * pageHeight - m / 2, pageWidth - 200, m + 4});
}

void Layout::drawContents(Canvas& canvas, const std::vector<Entry>& entries, std::size_t from, std::size_t to,
                          const PageMap& pageMap, bool first, int number) const {
  const Rect rect = textRect(number);
  double y = first ? pageHeading(canvas, "Contents", rect) : rect.maxY() - 20;
  for (std::size_t i = from; i < to && i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    const double titleWidth = rect.width - (entry.date ? 178 : 48);
    canvas.line(entry.item.displayTitle(), {Face::georgia, 11.5}, ink, rect.x, y, Canvas::Align::left, titleWidth);
    if (entry.date) {
      canvas.line(DateExtractor::pretty(*entry.date), {Face::georgiaItalic, 10}, soft, rect.maxX() - 46, y,
                  Canvas::Align::right);
    }
    if (auto page = pageMap.find(i); page != pageMap.end()) {
      canvas.line(std::to_string(page->second), {Face::georgia, 11}, ink, rect.maxX(), y, Canvas::Align::right);
    }
    y -= contentsRowHeight;
  }
  folio(canvas, number);
}

void Layout::drawScan(Canvas& canvas, const Entry& entry, int number) const {
  const Rect rect = textRect(number);
  const Rect area{rect.x, rect.y + 46, rect.width, rect.height - 46};
  if (auto picture = bookImage(entry.item.path, 2400)) {
    const double scale = std::min(area.width / picture->width, area.height / picture->height);
    const double w = picture->width * scale, h = picture->height * scale;
    const Rect shown{area.x + (area.width - w) / 2, area.maxY() - h, w, h};
    canvas.card(shown, 5);
    canvas.image(*picture, shown);
    captionBlock(canvas, entry, shown.x, std::max(w, 220.0), shown.y - 18);
  } else {
    const double middle = area.y + area.height / 2;
    canvas.line(kMissingScan, {Face::georgiaItalic, 11}, soft, rect.x + rect.width / 2, middle,
                Canvas::Align::centre);
    captionBlock(canvas, entry, rect.x, rect.width, middle - 30);
  }
  folio(canvas, number);
}

void Layout::drawText(Canvas& canvas, const Entry& entry, const StyledText& body, TextRange range, bool first,
                      int number) const {
  const Rect rect = textRect(number);
  Rect frame = rect;
  if (first) {
    canvas.line(entry.item.displayTitle(), {Face::baskerville, 21}, ink, rect.x, rect.maxY() - 24,
                Canvas::Align::left, rect.width);
    std::string metaLine = meta(entry);
    if (!entry.people.empty()) metaLine += (metaLine.empty() ? "" : "  \u00B7  ") + list(entry.people);
    if (!metaLine.empty()) {
      canvas.line(metaLine, {Face::georgiaItalic, 10.5}, soft, rect.x, rect.maxY() - 46, Canvas::Align::left,
                  rect.width);
    }
    canvas.hline(rect.x, rect.maxX(), rect.maxY() - 62, accent, 0.6);
    frame.height -= firstTextDrop;
  } else {
    canvas.line(entry.item.displayTitle() + " (continued)", {Face::georgiaItalic, 9}, soft, rect.x,
                rect.maxY() + 20);
  }
  if (range.length > 0) canvas.frame(body, range.location, range.end(), frame);
  folio(canvas, number);
}

void Layout::drawIndex(Canvas& canvas, const std::vector<IndexRow>& rows, std::size_t from, std::size_t to,
                       const PageMap& pageMap, bool first, int number) const {
  const Rect rect = textRect(number);
  double y = first ? pageHeading(canvas, "People in this book", rect) : rect.maxY() - 20;
  for (std::size_t i = from; i < to && i < rows.size(); ++i) {
    std::vector<int> numbers;
    for (std::size_t entry : rows[i].entries) {
      if (auto page = pageMap.find(entry); page != pageMap.end()) numbers.push_back(page->second);
    }
    std::sort(numbers.begin(), numbers.end());
    std::string pages;
    for (std::size_t k = 0; k < numbers.size(); ++k) pages += (k ? ", " : "") + std::to_string(numbers[k]);
    const Font pagesFont{Face::georgia, 10.5};
    LayoutPtr measured = canvas.typesetter().singleLine(pages, pagesFont, 0.45 * rect.width);
    const double pagesWidth = Typesetter::width(measured.get());
    const double nameWidth = canvas.line(rows[i].name, {Face::georgia, 11}, ink, rect.x, y, Canvas::Align::left,
                                         rect.width - pagesWidth - 24);
    for (double x = rect.x + nameWidth + 8; x < rect.maxX() - pagesWidth - 8; x += 4) {
      canvas.fillRect({x, y + 2, 0.9, 0.9}, soft);
    }
    canvas.line(pages, pagesFont, soft, rect.maxX(), y, Canvas::Align::right, 0.45 * rect.width);
    y -= 20;
  }
  folio(canvas, number);
}

}  // namespace quorvel::KeepsakeBook
