#pragma once
// Inside the keepsake book: text setting on pango (Typesetter), the PDF file
// on cairo (PdfBook) and one page being drawn (Canvas). Not for other callers.
#include <cairo.h>
#include <pango/pangocairo.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/keepsake_book.h"

namespace quorvel::KeepsakeBook {

enum class Face { georgia, georgiaItalic, baskerville, baskervilleItalic };

struct Font {
  Face face = Face::georgia;
  double size = 11.5;
};

// How a paragraph of a multi-line text is set.
struct ParagraphStyle {
  Font font;
  Color color;
  double spaceAfter = 0;
  double lineHeight = 0;  // at least this (exactly this when `exact`)
  bool exact = false;
  bool centred = false;
};
ParagraphStyle paragraphStyle(TextStyle style);

struct GObjectUnref {
  void operator()(void* object) const { g_object_unref(object); }
};
using LayoutPtr = std::shared_ptr<PangoLayout>;

// Pango with metric hinting and glyph-position rounding off, so that what is
// measured before the PDF exists is exactly what is drawn into it. Each has
// a font map of its own; one thread at a time.
class Typesetter {
 public:
  Typesetter();
  ~Typesetter();
  Typesetter(const Typesetter&) = delete;
  Typesetter& operator=(const Typesetter&) = delete;

  // One line of text (newlines shown as spaces); cut with "…" when wider than fitWidth.
  LayoutPtr singleLine(const std::string& text, Font font, std::optional<double> fitWidth = {});
  // The advance width of a single-line layout.
  static double width(PangoLayout* layout);

  struct PlacedLine {
    LayoutPtr layout;       // the paragraph (from where this frame took it up)
    int index = 0;          // the line in that layout
    double x = 0;           // offset from the frame's left edge
    double baseline = 0;    // distance of the baseline below the frame's top
    std::size_t start = 0;  // bytes of the styled text the line covers
    std::size_t end = 0;
  };
  struct Fill {
    std::vector<PlacedLine> lines;
    std::size_t end = 0;  // where the next frame starts
    double height = 0;    // of the lines placed, spacing between paragraphs included
  };
  // Stacks the lines of `text` from byte `from` (a line start) into a frame of
  // this width and height, whole lines only, stopping before `limit`.
  Fill fill(const StyledText& text, std::size_t from, std::size_t limit, double width, double height);

 private:
  LayoutPtr paragraph(const StyledText& text, std::size_t from, std::size_t to, const ParagraphStyle& style,
                      double width);

  PangoFontMap* fontMap_ = nullptr;
  PangoContext* context_ = nullptr;
};

// An image prepared for the page: its pixels and the JPEG bytes the PDF embeds.
struct BookImage {
  std::shared_ptr<cairo_surface_t> surface;
  int width = 0;
  int height = 0;
};
// The scan at most longestEdge pixels on its long edge, recompressed as JPEG
// (quality 0.86); none when it cannot be read.
std::optional<BookImage> bookImage(const std::string& path, int longestEdge);

// One page being drawn. Coordinates are PDF points with the origin at the
// bottom left; the canvas turns them into cairo's.
class Canvas {
 public:
  enum class Align { left, centre, right };
  Canvas(cairo_t* cr, Typesetter& typesetter, double pageHeight)
      : cr_(cr), type_(typesetter), pageHeight_(pageHeight) {}

  Typesetter& typesetter() { return type_; }
  // One line with its baseline at y: its left end, centre or right end at x.
  // Cut with "…" to fitWidth when given. Returns the drawn width.
  double line(const std::string& text, Font font, Color color, double x, double baseline,
              Align align = Align::left, std::optional<double> fitWidth = {});
  // The part [from, limit) of a styled text, set from the top of the rectangle.
  void frame(const StyledText& text, std::size_t from, std::size_t limit, const Rect& rect);
  // The height the whole text needs at this width, at most maxHeight.
  double suggestedHeight(const StyledText& text, double width, double maxHeight);

  void strokeRect(const Rect& rect, Color color, double lineWidth);
  void fillRect(const Rect& rect, Color color);
  void hline(double x0, double x1, double y, Color color, double lineWidth);
  void diamond(double cx, double cy, double half, Color color);
  // A white card under a soft shadow (offset down by 2 points).
  void card(const Rect& rect, double blur);
  void image(const BookImage& image, const Rect& rect);
  // Lets go of the images of the page just ended: cairo writes an image when
  // its page ends but would hold its pixels and JPEG bytes to the end of the
  // book, hundreds of megabytes for a long one.
  void releaseImages();

 private:
  double cy(double y) const { return pageHeight_ - y; }
  void setColor(Color color);
  cairo_t* cr_;
  Typesetter& type_;
  double pageHeight_;
  std::vector<std::shared_ptr<cairo_surface_t>> drawn_;
};

// The PDF file being written, through a stream of our own so that every
// failed write (a full disk) is seen.
class PdfBook {
 public:
  PdfBook(const std::string& path, double width, double height, const std::string& title,
          const std::string& creator);
  ~PdfBook();
  PdfBook(const PdfBook&) = delete;
  PdfBook& operator=(const PdfBook&) = delete;

  bool ok() const;
  Canvas& canvas(Typesetter& typesetter);
  void endPage();
  // Finishes the document and closes the file; false when anything failed.
  bool finish();
  // Removes the partial file (after a failure).
  void abandon();

 private:
  static cairo_status_t write(void* closure, const unsigned char* data, unsigned int length);

  std::string path_;
  double height_;
  int fd_ = -1;
  bool writeFailed_ = false;
  cairo_surface_t* surface_ = nullptr;
  cairo_t* cr_ = nullptr;
  std::unique_ptr<Canvas> canvas_;
};

}  // namespace quorvel::KeepsakeBook
