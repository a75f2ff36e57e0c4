// Text setting for the keepsake book: a frame filler over pango. Each
// paragraph is one pango layout as wide as the frame; its lines are stacked
// from the top with the style's line height and the space after the
// paragraph, and a frame takes whole lines only. Pagination and drawing both
// call fill(), so a page shows exactly the text it was measured for.
#include <cmath>
#include <limits>
#include <mutex>

#include "core/keepsake_book_text.h"

namespace quorvel::KeepsakeBook {

namespace {

// The fonts standing in for Georgia and Baskerville, named explicitly: by
// default fontconfig maps "Baskerville" to a sans.
PangoFontDescription* describe(Font font) {
  PangoFontDescription* d = pango_font_description_new();
  const bool baskerville = font.face == Face::baskerville || font.face == Face::baskervilleItalic;
  pango_font_description_set_family(d, baskerville ? "Baskervald ADF Std" : "C059");
  pango_font_description_set_weight(d, PANGO_WEIGHT_NORMAL);
  const bool italic = font.face == Face::georgiaItalic || font.face == Face::baskervilleItalic;
  pango_font_description_set_style(d, italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  pango_font_description_set_absolute_size(d, font.size * PANGO_SCALE);
  return d;
}

LayoutPtr own(PangoLayout* layout) { return LayoutPtr(layout, GObjectUnref()); }

guint16 channel(double value) { return static_cast<guint16>(std::lround(value * 65535.0)); }

constexpr double kEpsilon = 0.01;  // points; absorbs float noise in the stacking

}  // namespace

ParagraphStyle paragraphStyle(TextStyle style) {
  switch (style) {
    case TextStyle::body: return {{Face::georgia, 11.5}, ink, 6, 16.5, false, false};
    case TextStyle::heading: return {{Face::baskerville, 10}, accent, 6, 14, false, false};
    case TextStyle::italic: return {{Face::georgiaItalic, 11.5}, soft, 6, 16.5, false, false};
    case TextStyle::coverTitle: return {{Face::baskerville, 38}, ink, 0, 44, true, true};
    case TextStyle::dedication: return {{Face::baskervilleItalic, 17}, ink, 0, 26, true, true};
    case TextStyle::colophon: return {{Face::georgiaItalic, 9}, soft, 0, 13, true, true};
  }
  return {};
}

Typesetter::Typesetter() {
  fontMap_ = pango_cairo_font_map_new();
  context_ = pango_font_map_create_context(fontMap_);
  pango_cairo_context_set_resolution(context_, 72);
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
  pango_cairo_context_set_font_options(context_, options);
  cairo_font_options_destroy(options);
  pango_context_set_round_glyph_positions(context_, FALSE);
}

Typesetter::~Typesetter() {
  g_object_unref(context_);
  g_object_unref(fontMap_);
}

LayoutPtr Typesetter::singleLine(const std::string& text, Font font, std::optional<double> fitWidth) {
  LayoutPtr layout = own(pango_layout_new(context_));
  PangoFontDescription* d = describe(font);
  pango_layout_set_font_description(layout.get(), d);
  pango_font_description_free(d);
  pango_layout_set_single_paragraph_mode(layout.get(), TRUE);
  if (fitWidth) {
    pango_layout_set_width(layout.get(), static_cast<int>(std::max(0.0, *fitWidth) * PANGO_SCALE));
    pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_END);
  }
  pango_layout_set_text(layout.get(), text.data(), static_cast<int>(text.size()));
  return layout;
}

double Typesetter::width(PangoLayout* layout) {
  PangoRectangle logical;
  pango_layout_line_get_extents(pango_layout_get_line_readonly(layout, 0), nullptr, &logical);
  return static_cast<double>(logical.width) / PANGO_SCALE;
}

LayoutPtr Typesetter::paragraph(const StyledText& text, std::size_t from, std::size_t to,
                                const ParagraphStyle& style, double width) {
  LayoutPtr layout = own(pango_layout_new(context_));
  PangoFontDescription* d = describe(style.font);
  pango_layout_set_font_description(layout.get(), d);
  pango_font_description_free(d);
  pango_layout_set_width(layout.get(), static_cast<int>(width * PANGO_SCALE));
  pango_layout_set_wrap(layout.get(), PANGO_WRAP_WORD_CHAR);
  pango_layout_set_text(layout.get(), text.text.data() + from, static_cast<int>(to - from));
  PangoAttrList* attributes = pango_attr_list_new();
  for (const auto& run : text.runs) {
    const std::size_t a = std::max(run.location, from);
    const std::size_t b = std::min(run.location + run.length, to);
    if (a >= b) continue;
    const ParagraphStyle runStyle = paragraphStyle(run.style);
    PangoFontDescription* rd = describe(runStyle.font);
    PangoAttribute* font = pango_attr_font_desc_new(rd);
    pango_font_description_free(rd);
    PangoAttribute* color = pango_attr_foreground_new(channel(runStyle.color.red), channel(runStyle.color.green),
                                                      channel(runStyle.color.blue));
    for (PangoAttribute* attribute : {font, color}) {
      attribute->start_index = static_cast<guint>(a - from);
      attribute->end_index = static_cast<guint>(b - from);
      pango_attr_list_insert(attributes, attribute);
    }
  }
  pango_layout_set_attributes(layout.get(), attributes);
  pango_attr_list_unref(attributes);
  return layout;
}

Typesetter::Fill Typesetter::fill(const StyledText& text, std::size_t from, std::size_t limit, double width,
                                  double height) {
  Fill result;
  result.end = from;
  limit = std::min(limit, text.text.size());
  double y = 0;
  double pendingSpace = 0;
  std::size_t position = from;
  while (position < limit) {
    const std::size_t newline = text.text.find('\n', position);
    const std::size_t segmentEnd = newline == std::string::npos ? text.text.size() : newline;
    const std::size_t next = newline == std::string::npos ? segmentEnd : newline + 1;
    // The paragraph's style is that of its first character, also when this
    // frame takes it up in the middle.
    const std::size_t start = position == 0 ? 0 : text.text.rfind('\n', position - 1);
    const std::size_t paragraphStart = start == std::string::npos || position == 0 ? 0 : start + 1;
    const ParagraphStyle style = paragraphStyle(text.styleAt(paragraphStart));
    LayoutPtr layout = paragraph(text, position, segmentEnd, style, width);

    const int count = pango_layout_get_line_count(layout.get());
    for (int i = 0; i < count; ++i) {
      PangoLayoutLine* line = pango_layout_get_line_readonly(layout.get(), i);
      const std::size_t lineStart = position + static_cast<std::size_t>(line->start_index);
      if (lineStart >= limit) return result;
      PangoRectangle logical;
      pango_layout_line_get_extents(line, nullptr, &logical);
      const double natural = static_cast<double>(logical.height) / PANGO_SCALE;
      const double ascent = -static_cast<double>(logical.y) / PANGO_SCALE;
      const double descent = natural - ascent;
      const double lineHeight = style.exact ? style.lineHeight : std::max(natural, style.lineHeight);
      if (y + pendingSpace + lineHeight > height + kEpsilon) return result;
      y += pendingSpace;
      pendingSpace = 0;
      PlacedLine placed;
      placed.layout = layout;
      placed.index = i;
      const double lineWidth = static_cast<double>(logical.width) / PANGO_SCALE;
      placed.x = style.centred ? (width - lineWidth) / 2 : 0;
      placed.baseline = y + lineHeight - descent;
      placed.start = lineStart;
      placed.end = i + 1 == count ? next : lineStart + static_cast<std::size_t>(line->length);
      y += lineHeight;
      result.end = placed.end;
      result.height = y;
      result.lines.push_back(std::move(placed));
    }
    pendingSpace = style.spaceAfter;
    position = next;
  }
  return result;
}

std::vector<TextPiece> Layout::paginate(const StyledText& body) const {
  if (body.empty()) return {TextPiece{{0, 0}, true}};
  const double width = pageWidth - marginInner - marginOuter;
  const double fullHeight = pageHeight - marginTop - marginBottom;
  std::vector<TextPiece> pieces;
  auto fill = typesetter->fill(body, 0, body.text.size(), width, fullHeight - firstTextDrop);
  if (fill.end == 0) return pieces;
  pieces.push_back({{0, fill.end}, true});
  std::size_t location = fill.end;
  while (location < body.text.size()) {
    fill = typesetter->fill(body, location, body.text.size(), width, fullHeight);
    if (fill.end == location) break;
    pieces.push_back({{location, fill.end - location}, false});
    location = fill.end;
  }
  return pieces;
}

}  // namespace quorvel::KeepsakeBook
