#include "tools/demo_scans.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <random>

#include <vips/vips8>

namespace quorvel::DemoScans {

namespace fs = std::filesystem;

// The papers of the Brandt family: Carl left Hannover for Chicago in 1923;
// his sister Anna stayed behind in Hannover with their mother Luise.
const std::vector<DemoScan>& demoScans() {
  static const std::vector<DemoScan> scans = {
      {"1919-06-02 marriage certificate Heinrich and Luise.png", Look::certificate,
       "<big><b>Certificate of Marriage</b></big>\n\n"
       "This is to certify that\n<b>Heinrich Brandt</b>, baker, of Hannover\nand\n"
       "<b>Luise Meyer</b>, of Linden near Hannover\n"
       "were joined in marriage on the second day of June 1919\n"
       "at the Marktkirche in Hannover.\n\nWitnesses: Wilhelm Brandt and Emma Meyer\n"
       "Registrar: F. Kohlmann",
       {"Heinrich Brandt", "Luise Meyer"}},
      {"1921 photo of the Brandt family in Hannover.jpg", Look::photo, "family", {}},
      {"1921 photo back.jpg", Look::photoBack,
       "Carl, Anna and Mother\nin front of the bakery\nHannover, summer 1921", {}},
      {"1922-12-20 German letter from Hannover.png", Look::typed,
       "Hannover, den 20. Dezember 1922\n\nLieber Carl,\n\n"
       "wir sind alle gesund und denken jeden Tag an dich. Die Ernte war gut in diesem Jahr, "
       "und die Bäckerei hat vor Weihnachten viel zu tun. Mutter lässt dich herzlich grüßen. "
       "Anna möchte nicht über das große Wasser fahren; sie bleibt bei uns in Hannover und "
       "hilft im Laden. Schreib uns bald, wie es dir in Chicago geht, und ob du Arbeit "
       "gefunden hast.\n\nFrohe Weihnachten und ein gutes neues Jahr!\n\n"
       "Deine Schwester Anna und deine Mutter Luise",
       {"Anna Brandt", "Luise Brandt", "Carl Brandt"}},
      {"1923-03-28 passenger record Bremen to New York.png", Look::certificate,
       "<big><b>Norddeutscher Lloyd Bremen</b></big>\n<b>Passenger Record</b>\n\n"
       "Steamship George Washington, sailing 28 March 1923\nBremen to New York\n\n"
       "Name: Carl Brandt    Age: 22    Occupation: baker\n"
       "Last residence: Hannover, Germany\nDestination: Chicago, Illinois\n"
       "Nearest relative: mother Luise Brandt, Hannover",
       {"Carl Brandt"}},
      {"1923-05-14 letter from Carl in Chicago.png", Look::typewriter,
       "Chicago, May 14, 1923\n\nDear Mother,\n\n"
       "I arrived in Chicago on the first of May after nine days at sea and two days on the "
       "train from New York. Uncle Wilhelm met me at the station and I am living with his "
       "family on Halsted Street. I have found work at a bakery near the stockyards.\n\n"
       "Please tell Anna that I understand why she stayed behind in Hannover with you. "
       "Someone has to keep the shop. I will send money when I can.\n\n"
       "Your loving son,\nCarl",
       {"Carl Brandt", "Luise Brandt", "Wilhelm Brandt"}},
      {"1923-08-02 letter from Anna in Hannover.png", Look::typed,
       "Hannover, 2 August 1923\n\nDear Carl,\n\n"
       "Mother and I read your letter many times. Prices here rise every week; a loaf of "
       "bread costs thousands of marks now and people pay with baskets of paper money. "
       "I stayed behind in Hannover because Mother could not run the bakery alone, and I "
       "do not regret it.\n\nGive our love to Uncle Wilhelm and Aunt Martha in Chicago.\n\n"
       "Your sister,\nAnna",
       {"Anna Brandt", "Carl Brandt"}},
      {"1924-02-03 letter from Carl to Anna.png", Look::typewriter,
       "Chicago, February 3, 1924\n\nDear Anna,\n\n"
       "The winter here is colder than anything we knew in Hannover. The lake freezes at the "
       "shore and the wind comes straight across it. I enclose ten dollars for you and "
       "Mother. Do not change it all at once.\n\n"
       "Aunt Martha asks whether you will come in the spring. I told her you stayed behind "
       "in Hannover to look after Mother, and that you are as stubborn as Father was.\n\n"
       "Your brother,\nCarl",
       {"Carl Brandt", "Anna Brandt", "Martha Brandt"}},
      {"1925-07-19 letter from Martha Brandt Chicago.png", Look::typed,
       "Chicago, July 19, 1925\n\nDear Luise,\n\n"
       "Carl is well and works hard. He has saved enough to rent a small shop of his own on "
       "Lincoln Avenue, and Wilhelm thinks he will do well. He bakes the rye bread the way "
       "Heinrich taught him and the neighbours queue for it on Saturdays.\n\n"
       "We all hope that you and Anna will visit us one day.\n\nWith love,\nMartha",
       {"Martha Brandt", "Luise Brandt", "Carl Brandt"}},
      {"1926 photo of the bakery on Lincoln Avenue Chicago.jpg", Look::photo, "shop",
       {"Carl Brandt"}},
      {"1926 photo back Lincoln Avenue.jpg", Look::photoBack,
       "Brandt Bakery\nLincoln Avenue, Chicago\nopening day 1926", {}},
      {"1926-10-09 newspaper clipping Chicago.png", Look::cutting,
       "<b>NEW BAKERY OPENS ON LINCOLN AVENUE</b>\n\n"
       "Chicago, Oct. 9 - Carl Brandt, a young baker who came to Chicago from Hannover, "
       "Germany, three years ago, opened his own shop at Lincoln Avenue this week. Mr. Brandt "
       "learned his trade in his father's bakery in Hannover, where his mother and sister "
       "still keep the family business. Customers lined up for his dark rye bread on the "
       "first morning, and the shop sold out before noon.",
       {"Carl Brandt"}},
      {"1927-12-01 Christmas card from Hannover.png", Look::card,
       "<big><b>Frohe Weihnachten</b></big>\n\nMerry Christmas to Carl\nfrom Mother and Anna\n"
       "Hannover 1927",
       {"Anna Brandt", "Luise Brandt"}},
      {"1928-04-22 letter from Carl about Elsie.png", Look::typewriter,
       "Chicago, April 22, 1928\n\nDear Mother and Anna,\n\n"
       "I have news that I hope will make you glad. I am engaged to Elsie Novak, whose "
       "family came to Chicago from Bohemia. She keeps the books of the shop better than I "
       "ever could. We will marry in September at St. Alphonsus Church.\n\n"
       "I wish you could both be here. I know Anna stayed behind in Hannover for Mother's "
       "sake, but there would always be a room for you with us.\n\nCarl",
       {"Carl Brandt", "Elsie Novak"}},
      {"1928-09-15 marriage certificate Carl and Elsie.png", Look::certificate,
       "<big><b>State of Illinois</b></big>\n<b>Certificate of Marriage</b>\n\n"
       "Cook County, Chicago\n\n<b>Carl Brandt</b>, born Hannover, Germany, 1901\nand\n"
       "<b>Elsie Novak</b>, born Chicago, Illinois, 1905\n"
       "were united in marriage on September 15, 1928\nat St. Alphonsus Church, Chicago.\n\n"
       "Witnesses: Wilhelm Brandt, Mary Novak",
       {"Carl Brandt", "Elsie Novak", "Wilhelm Brandt"}},
      {"1928 wedding photo Carl and Elsie.jpg", Look::photo, "couple",
       {"Carl Brandt", "Elsie Novak"}},
      {"1928 wedding photo back.jpg", Look::photoBack,
       "Carl and Elsie\nSeptember 1928\nfor Mother and Anna", {}},
      {"1930-01-10 letter from Anna about Mother.png", Look::typed,
       "Hannover, 10 January 1930\n\nDear Carl and Elsie,\n\n"
       "Mother has been ill since the New Year and the doctor comes twice a week. She asks "
       "about you every day and keeps your wedding photograph beside her bed. The bakery is "
       "quiet in winter; Herr Vogel helps me with the ovens in the mornings.\n\n"
       "Please write soon. Your letters are the best medicine.\n\nAnna",
       {"Anna Brandt", "Luise Brandt"}},
      {"1931-03-08 funeral card Luise Brandt.png", Look::card,
       "<big><b>In loving memory</b></big>\n\n<b>Luise Brandt</b>\nborn Meyer\n"
       "1879 - 1931\n\nHannover\nShe rests beside her husband Heinrich",
       {"Luise Brandt"}},
      {"1931-03-20 letter from Anna after the funeral.png", Look::typed,
       "Hannover, 20 March 1931\n\nDear Carl,\n\n"
       "We buried Mother on Tuesday beside Father in the Engesohde cemetery. Half the street "
       "came. I read your telegram aloud at the house afterwards.\n\n"
       "You ask whether I will come to Chicago now. I do not know yet. Hannover is my home, "
       "and the shop is all that is left of Father and Mother.\n\nYour sister,\nAnna",
       {"Anna Brandt", "Luise Brandt", "Carl Brandt"}},
      {"1933 portrait of Anna Brandt.jpg", Look::photo, "portrait", {"Anna Brandt"}},
      {"1933 portrait back.jpg", Look::photoBack, "Anna, 1933\nat the shop door\nHannover", {}},
      {"1936-06-30 school report Walter Brandt.png", Look::certificate,
       "<big><b>Lincoln School, Chicago</b></big>\n<b>Report Card 1935-1936</b>\n\n"
       "Pupil: Walter Brandt    Grade: 2\n\nReading: Excellent\nArithmetic: Good\n"
       "Penmanship: Fair\nConduct: Good\n\nPromoted to Grade 3\nTeacher: Miss H. Larsen",
       {"Walter Brandt"}},
      {"1938-11-02 letter from Carl to Anna.png", Look::typewriter,
       "Chicago, November 2, 1938\n\nDear Anna,\n\n"
       "Elsie and I have talked it over and we want you to come to us. Times are hard "
       "everywhere, but here you would have a home and work in the shop. Walter asks about "
       "his aunt in Hannover and wants to see the city where his father was born.\n\n"
       "I will pay for the passage from Bremen. Please say yes.\n\nYour brother,\nCarl",
       {"Carl Brandt", "Anna Brandt", "Walter Brandt"}},
      {"1946-05-11 letter from Anna after the war.png", Look::typed,
       "Hannover, 11 May 1946\n\nDear Carl,\n\n"
       "Your parcel arrived safely: coffee, flour, soap and the warm coat for me. You cannot "
       "know what it means. The old bakery is gone; the whole street burned in 1943. I live "
       "with the Vogel family in List and work in a canteen.\n\n"
       "I stayed behind in Hannover all those years and now there is almost nothing left "
       "of it. Perhaps I will come to Chicago after all.\n\nAnna",
       {"Anna Brandt", "Carl Brandt"}},
      {"1949-08-17 newspaper clipping arrival.png", Look::cutting,
       "<b>SISTER REUNITED WITH BAKER AFTER 26 YEARS</b>\n\n"
       "Chicago, Aug. 17 - Miss Anna Brandt of Hannover, Germany, arrived at Union Station "
       "yesterday and was met by her brother, Carl Brandt of the Brandt Bakery on Lincoln "
       "Avenue. The two had not seen each other since 1923, when Mr. Brandt sailed from "
       "Bremen. Miss Brandt stayed behind in Hannover to care for their mother.",
       {"Anna Brandt", "Carl Brandt"}},
      {"1950 photo of Anna and Carl in Chicago.jpg", Look::photo, "pair",
       {"Anna Brandt", "Carl Brandt"}},
      {"1955-09-01 naturalization certificate Anna Brandt.png", Look::certificate,
       "<big><b>United States of America</b></big>\n<b>Certificate of Naturalization</b>\n\n"
       "Be it known that <b>Anna Brandt</b>\nborn in Hannover, Germany, 1903\n"
       "residing at Lincoln Avenue, Chicago, Illinois\n"
       "was admitted as a citizen of the United States\non September 1, 1955.",
       {"Anna Brandt"}},
      {"1962-02-14 obituary Carl Brandt.png", Look::cutting,
       "<b>CARL BRANDT, BAKER, 60</b>\n\n"
       "Carl Brandt, who ran the Brandt Bakery on Lincoln Avenue for 35 years, died Tuesday "
       "in Chicago. He was born in Hannover, Germany, and came to Chicago in 1923. He is "
       "survived by his wife Elsie, his son Walter, and his sister Anna, who joined the "
       "family in 1949. Services Saturday at St. Alphonsus Church.",
       {"Carl Brandt", "Elsie Novak", "Walter Brandt", "Anna Brandt"}},
      {"IMG_0042.jpg", Look::typed,
       "Recipe for Mother's rye bread\n\n"
       "2 pounds rye flour, 1 pound wheat flour\nsour starter from the night before\n"
       "2 spoons salt, caraway seed\nwarm water as needed\n\n"
       "Knead well, let rise three hours in a warm place, bake one hour in a hot oven.\n"
       "As Heinrich made it in Hannover.",
       {}},
  };
  return scans;
}

namespace {

// ---- Drawing -------------------------------------------------------------

struct Canvas {
  cairo_surface_t* surface;
  cairo_t* cr;
  int width;
  int height;

  Canvas(int w, int h) : width(w), height(h) {
    surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    cr = cairo_create(surface);
  }
  ~Canvas() {
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;
};

// Paper of the given tint, a little darker towards the edges, with fibres.
void paper(Canvas& canvas, double r, double g, double b, std::mt19937& random) {
  cairo_t* cr = canvas.cr;
  cairo_pattern_t* shade = cairo_pattern_create_radial(
      canvas.width / 2.0, canvas.height / 2.0, canvas.width * 0.3, canvas.width / 2.0,
      canvas.height / 2.0, canvas.height * 0.8);
  cairo_pattern_add_color_stop_rgb(shade, 0, r, g, b);
  cairo_pattern_add_color_stop_rgb(shade, 1, r * 0.93, g * 0.91, b * 0.86);
  cairo_set_source(cr, shade);
  cairo_paint(cr);
  cairo_pattern_destroy(shade);
  std::uniform_real_distribution<double> x(0, canvas.width), y(0, canvas.height), len(4, 18);
  cairo_set_line_width(cr, 1);
  cairo_set_source_rgba(cr, r * 0.8, g * 0.78, b * 0.72, 0.25);
  for (int i = 0; i < 400; ++i) {
    const double x0 = x(random), y0 = y(random);
    cairo_move_to(cr, x0, y0);
    cairo_rel_line_to(cr, len(random), len(random) / 4 - 2);
  }
  cairo_stroke(cr);
}

// Lays out markup in a box; returns the height used.
double text(Canvas& canvas, const std::string& markup, const char* font, double pixels, double x,
            double y, double width, PangoAlignment align, double ink = 0.12) {
  PangoLayout* layout = pango_cairo_create_layout(canvas.cr);
  PangoFontDescription* description = pango_font_description_from_string(font);
  pango_font_description_set_absolute_size(description, pixels * PANGO_SCALE);
  pango_layout_set_font_description(layout, description);
  pango_layout_set_width(layout, static_cast<int>(width * PANGO_SCALE));
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD);
  pango_layout_set_alignment(layout, align);
  pango_layout_set_markup(layout, markup.c_str(), -1);
  cairo_set_source_rgb(canvas.cr, ink, ink * 0.95, ink * 1.2);
  cairo_move_to(canvas.cr, x, y);
  pango_cairo_show_layout(canvas.cr, layout);
  int w = 0, h = 0;
  pango_layout_get_pixel_size(layout, &w, &h);
  pango_font_description_free(description);
  g_object_unref(layout);
  return h;
}

std::string escaped(const char* plain) {
  gchar* e = g_markup_escape_text(plain, -1);
  std::string out(e);
  g_free(e);
  return out;
}

void drawTyped(Canvas& canvas, const DemoScan& scan, bool typewriter, std::mt19937& random) {
  paper(canvas, typewriter ? 0.96 : 0.98, typewriter ? 0.94 : 0.97, typewriter ? 0.88 : 0.93, random);
  text(canvas, escaped(scan.text), typewriter ? "Nimbus Mono PS" : "Liberation Serif",
       typewriter ? 28 : 31, 110, 120, canvas.width - 220, PANGO_ALIGN_LEFT);
}

void drawCertificate(Canvas& canvas, const DemoScan& scan, std::mt19937& random) {
  paper(canvas, 0.97, 0.95, 0.88, random);
  cairo_t* cr = canvas.cr;
  cairo_set_source_rgb(cr, 0.45, 0.32, 0.2);
  cairo_set_line_width(cr, 10);
  cairo_rectangle(cr, 50, 50, canvas.width - 100, canvas.height - 100);
  cairo_stroke(cr);
  cairo_set_line_width(cr, 2);
  cairo_rectangle(cr, 72, 72, canvas.width - 144, canvas.height - 144);
  cairo_stroke(cr);
  text(canvas, scan.text, "C059", 30, 130, 170, canvas.width - 260, PANGO_ALIGN_CENTER, 0.15);
  // A seal at the foot of the page.
  cairo_set_source_rgba(cr, 0.6, 0.12, 0.1, 0.8);
  cairo_arc(cr, canvas.width - 230, canvas.height - 230, 70, 0, 2 * M_PI);
  cairo_fill(cr);
}

// Returns the height the board needs around the column.
int drawCutting(Canvas& canvas, const DemoScan& scan, std::mt19937& random) {
  // Grey-brown backing board with the cut-out column on it.
  cairo_set_source_rgb(canvas.cr, 0.35, 0.33, 0.3);
  cairo_paint(canvas.cr);
  Canvas column(canvas.width - 160, canvas.height - 160);
  paper(column, 0.91, 0.88, 0.8, random);
  const double used = text(column, scan.text, "Liberation Serif", 28, 40, 40, column.width - 80,
                           PANGO_ALIGN_LEFT, 0.1);
  cairo_set_source_surface(canvas.cr, column.surface, 80, 80);
  cairo_rectangle(canvas.cr, 80, 80, column.width, std::min<double>(column.height, used + 80));
  cairo_fill(canvas.cr);
  return std::min(canvas.height, static_cast<int>(used) + 80 + 160);
}

void drawCard(Canvas& canvas, const DemoScan& scan, std::mt19937& random) {
  paper(canvas, 0.99, 0.98, 0.95, random);
  cairo_t* cr = canvas.cr;
  cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
  cairo_set_line_width(cr, 6);
  cairo_rectangle(cr, 40, 40, canvas.width - 80, canvas.height - 80);
  cairo_stroke(cr);
  text(canvas, scan.text, "URW Bookman", 32, 90, 140, canvas.width - 180, PANGO_ALIGN_CENTER);
}

// A sepia photograph with a white border: sky, ground, a building and figures.
void drawPhoto(Canvas& canvas, const DemoScan& scan, std::mt19937& random) {
  cairo_t* cr = canvas.cr;
  cairo_set_source_rgb(cr, 0.95, 0.93, 0.88);
  cairo_paint(cr);
  const double m = 50, w = canvas.width - 2 * m, h = canvas.height - 2 * m;
  cairo_save(cr);
  cairo_rectangle(cr, m, m, w, h);
  cairo_clip(cr);
  cairo_pattern_t* sky = cairo_pattern_create_linear(0, m, 0, m + h);
  cairo_pattern_add_color_stop_rgb(sky, 0, 0.82, 0.74, 0.6);
  cairo_pattern_add_color_stop_rgb(sky, 0.6, 0.62, 0.52, 0.4);
  cairo_pattern_add_color_stop_rgb(sky, 1, 0.32, 0.25, 0.18);
  cairo_set_source(cr, sky);
  cairo_paint(cr);
  cairo_pattern_destroy(sky);
  const std::string scene = scan.text;
  if (scene != "portrait") {
    // A building with windows behind the figures.
    cairo_set_source_rgb(cr, 0.45, 0.36, 0.27);
    cairo_rectangle(cr, m + w * 0.1, m + h * 0.25, w * 0.8, h * 0.55);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.3, 0.23, 0.17);
    cairo_move_to(cr, m + w * 0.05, m + h * 0.26);
    cairo_line_to(cr, m + w * 0.5, m + h * 0.08);
    cairo_line_to(cr, m + w * 0.95, m + h * 0.26);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.7, 0.62, 0.5);
    for (int i = 0; i < 4; ++i) {
      cairo_rectangle(cr, m + w * (0.16 + i * 0.19), m + h * 0.33, w * 0.1, h * 0.12);
    }
    cairo_fill(cr);
  }
  const int figures = scene == "family" ? 3 : scene == "portrait" ? 1 : scene == "shop" ? 1 : 2;
  for (int i = 0; i < figures; ++i) {
    const double scale = scene == "portrait" ? 2.4 : 1.0;
    const double cx = m + w * (figures == 1 ? 0.5 : 0.3 + 0.4 * i / (figures - 1));
    const double top = m + h * (scene == "portrait" ? 0.2 : 0.48);
    const double tone = 0.12 + 0.06 * i;
    cairo_set_source_rgb(cr, tone + 0.5, tone + 0.4, tone + 0.3);
    cairo_arc(cr, cx, top + 36 * scale, 38 * scale, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, tone, tone * 0.85, tone * 0.7);
    cairo_move_to(cr, cx - 60 * scale, top + 330 * scale);
    cairo_curve_to(cr, cx - 70 * scale, top - 10 * scale, cx + 70 * scale, top - 10 * scale,
                   cx + 60 * scale, top + 330 * scale);
    cairo_fill(cr);
  }
  // Grain and scratches.
  std::uniform_real_distribution<double> x(m, m + w), y(m, m + h), a(0, 0.25);
  for (int i = 0; i < 6000; ++i) {
    cairo_set_source_rgba(cr, 0.1, 0.08, 0.05, a(random));
    cairo_rectangle(cr, x(random), y(random), 2, 2);
    cairo_fill(cr);
  }
  cairo_restore(cr);
}

void drawPhotoBack(Canvas& canvas, const DemoScan& scan, std::mt19937& random) {
  paper(canvas, 0.93, 0.91, 0.85, random);
  text(canvas, escaped(scan.text), "Z003", 54, 120, canvas.height * 0.28, canvas.width - 240,
       PANGO_ALIGN_LEFT, 0.2);
}

}  // namespace

void render(std::size_t index, const std::string& path) {
  const DemoScan& scan = demoScans().at(index);
  std::mt19937 random(static_cast<unsigned>(index) + 7);
  const bool landscape = scan.look == Look::photo && std::string(scan.text) != "portrait";
  const bool small = scan.look == Look::photoBack || scan.look == Look::card;
  const bool cutting = scan.look == Look::cutting;
  const int width = landscape ? 1400 : cutting ? 860 : 1100;
  const int height = landscape ? 1000 : small ? 800 : cutting ? 1040 : 1420;
  Canvas canvas(width, height);
  int keep = height;  // rows of the drawing kept in the scan
  switch (scan.look) {
    case Look::typed: drawTyped(canvas, scan, false, random); break;
    case Look::typewriter: drawTyped(canvas, scan, true, random); break;
    case Look::certificate: drawCertificate(canvas, scan, random); break;
    case Look::cutting: keep = drawCutting(canvas, scan, random); break;
    case Look::card: drawCard(canvas, scan, random); break;
    case Look::photo: drawPhoto(canvas, scan, random); break;
    case Look::photoBack: drawPhotoBack(canvas, scan, random); break;
  }
  cairo_surface_flush(canvas.surface);
  // Cairo's RGB24 is BGRX in memory on little-endian machines: reorder for vips.
  const int stride = cairo_image_surface_get_stride(canvas.surface);
  const unsigned char* data = cairo_image_surface_get_data(canvas.surface);
  std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(data + static_cast<size_t>(y) * stride);
    for (int x = 0; x < width; ++x) {
      const std::uint32_t pixel = row[x];
      unsigned char* out = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      out[0] = (pixel >> 16) & 0xff;
      out[1] = (pixel >> 8) & 0xff;
      out[2] = pixel & 0xff;
    }
  }
  vips::VImage image = vips::VImage::new_from_memory(rgb.data(), rgb.size(), width, height, 3,
                                                     VIPS_FORMAT_UCHAR);
  if (keep < height) image = image.crop(0, 0, width, keep);
  image = image.copy(vips::VImage::option()->set("xres", 130 / 25.4)->set("yres", 130 / 25.4));
  const fs::path file(path);
  if (file.extension() == ".jpg") {
    image.jpegsave(path.c_str(), vips::VImage::option()->set("Q", 88));
  } else {
    image.pngsave(path.c_str(), vips::VImage::option()->set("compression", 3));
  }
}

}  // namespace quorvel::DemoScans
