#include "tools/ocr_evaluation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string_view>

#include <vips/vips8>

#include "core/text.h"

namespace quorvel::OcrEvaluation {

namespace {

using vips::VImage;
using Colour = std::vector<double>;

// ---------------------------------------------------------------- texts

const char* const kLetterFamily =
    "Dear Margaret,\n\n"
    "Thank you for your kind letter of the twelfth, which reached us on Monday. Father has been "
    "unwell since the first cold days of November, but the doctor says he will be up and about "
    "before Christmas. The farm is quiet now that the harvest is in, and the boys spend their "
    "evenings mending fences and reading by the stove.\n\n"
    "We were glad to hear that little Thomas has started at the school in Millbrook. Please tell "
    "him that his grandmother is knitting a scarf for him, in blue and grey, and that it will "
    "come with the parcel in two weeks.\n\n"
    "Your loving sister,\nElizabeth";

const char* const kLetterHouse =
    "Denver, October 14, 1938\n\n"
    "My dear John,\n\n"
    "The train left Chicago at half past six and we arrived in Denver on Thursday evening, tired "
    "but in good spirits. The hotel is modest and clean, and the rooms face the mountains. "
    "Tomorrow I meet Mr. Harrison at the bank to sign the papers for the house on Elm Street; "
    "the price is 4,250 dollars, which is less than we feared.\n\n"
    "I have enclosed a photograph of the house taken by the agent. The garden is small but there "
    "is room for the apple trees your mother wanted. Write to me at the Palace Hotel, Room 214.\n\n"
    "With all my love,\nAnna";

const char* const kLetterReference =
    "To whom it may concern,\n\n"
    "This is to certify that Mr. Frederick William Porter has been employed by the Eastern "
    "Railway Company as a clerk in the freight office at Hartford from March 1921 until the "
    "present date. During these years he has shown himself to be honest, punctual and careful "
    "in his work, and he has earned the trust of his superiors and colleagues alike.\n\n"
    "He leaves our service at his own request, in order to move with his family to the West. We "
    "recommend him without reservation to any employer who may need a reliable man.\n\n"
    "Yours faithfully,\nGeorge H. Whitfield, Superintendent";

struct Cutting {
  const char* headline;
  const char* left;
  const char* right;
};

const Cutting kCuttings[] = {
    {"NEW BRIDGE OPENS TO TRAFFIC",
     "The long awaited bridge over the Millbrook River was opened on Saturday, May 6, 1950, "
     "before a crowd of nearly two thousand people. Mayor Albert Klein cut the ribbon at ten "
     "o'clock, and the first car to cross was driven by Mrs. Edna Parsons, whose husband "
     "worked on the foundations. The bridge cost 380,000 dollars and took three years to "
     "build. Engineers say it will carry heavy trucks for fifty years or more.",
     "The old ferry, which served the town since 1889, made its last crossing on Friday "
     "evening. Captain Walter Hughes, who ran the ferry for thirty one years, was given a "
     "silver watch by the town council. He said he would miss the river but not the winter "
     "mornings. A dance was held in the Grange Hall in the evening, and the high school band "
     "played until midnight. Local merchants report record sales for the week."},
    {"LOCAL GIRL WINS STATE SPELLING PRIZE",
     "Miss Dorothy Evans, fourteen, daughter of Mr. and Mrs. Harold Evans of Cedar Lane, won "
     "first prize at the state spelling contest held in the capital on March 18, 1955. She "
     "spelled the word chrysanthemum correctly in the final round, after her rival from "
     "Springfield missed it. Dorothy receives a scholarship of 500 dollars and a set of "
     "encyclopedias for the school library.",
     "Her teacher, Miss Ruth Baker, said that Dorothy reads every book she can find and "
     "spends her Saturdays at the public library. The family will travel to Washington in "
     "June, where Dorothy will compete with the winners of the other states. Friends and "
     "neighbours are invited to a reception at the Methodist church on Sunday afternoon, "
     "when the prize will be shown."},
};

struct Certificate {
  const char* title;
  const char* body;
  const char* left;   // signature block under the left line
  const char* right;  // and under the right one
};

const Certificate kCertificates[] = {
    {"Certificate of Marriage",
     "This is to certify that\nHenry James Whitaker\nand\nEleanor Grace Lindqvist\nwere united "
     "in holy matrimony\non the 14th day of June, 1947\nat St. Mary's Church, Millbrook",
     "Rev. Thomas Ashby\nOfficiating Minister", "Clara Whitaker\nWitness"},
    {"Certificate of Baptism",
     "This certifies that\nMargaret Rose Donnelly\ndaughter of Patrick and Bridget Donnelly\nwas "
     "baptized according to the rites of the Church\non the 2nd day of September, 1923\nat the "
     "Church of St. Brendan, Boston",
     "Rev. John Keane\nPastor", "Mary Donnelly\nSponsor"},
};

struct Recipe {
  const char* title;
  std::vector<const char*> lines;
};

const Recipe kRecipes[] = {
    {"Grandma's Apple Cake",
     {"2 cups flour, 1 cup sugar, 2 eggs", "1/2 cup butter, 1 tsp cinnamon",
      "3 apples, peeled and sliced thin", "Mix butter and sugar, add eggs.",
      "Bake at 350 for 45 minutes."}},
    {"Aunt Ruth's Corn Bread",
     {"1 cup cornmeal, 1 cup flour", "1/4 cup sugar, 1 tbsp baking powder",
      "1 cup milk, 1 egg, 1/4 cup oil", "Stir until just mixed. Pour in pan.",
      "Bake at 425 for 20 to 25 minutes."}},
};

struct Postcard {
  const char* message;
  std::vector<const char*> address;
};

const Postcard kPostcards[] = {
    {"Aug. 12, 1952\nDear Folks,\nWe reached the lake on Sunday and the weather has been "
     "perfect. The children swim every morning and Jim caught a big trout yesterday. "
     "Home on the 20th.\nLove, Betty",
     {"Mr. and Mrs. Carl Olsen", "418 Maple Avenue", "Rockford, Illinois"}},
    {"July 3, 1961\nHello Ruth,\nThe view from the hotel is just like this picture. We "
     "climbed to the glacier today and had lunch in a hut at the top. Tomorrow we take "
     "the train to Lucerne.\nAll the best, Frank",
     {"Miss Ruth Caldwell", "27 Chestnut Street", "Hartford, Connecticut"}},
};

struct Telegram {
  const char* form;  // printed lines of the form
  std::vector<const char*> strips;
};

const Telegram kTelegrams[] = {
    {"TELEGRAM\nReceived at Main Office  No. 2481",
     {"ARRIVING TUESDAY 4 PM TRAIN STOP PLEASE", "MEET ME AT UNION STATION STOP",
      "LOVE TO ALL MARY"}},
    {"TELEGRAM\nReceived at Harbor Street  No. 907",
     {"BABY GIRL BORN JANUARY 9 1946 STOP BOTH", "WELL STOP NAMED HER ANNE ELIZABETH STOP",
      "LETTER FOLLOWS ROBERT"}},
};

const char* const kGermanShort =
    "München, den 3. März 1952\n\n"
    "Liebe Tante Käthe,\n\n"
    "herzlichen Dank für das schöne Päckchen. Die Kinder haben sich über die Äpfel "
    "und den Kuchen sehr gefreut.\n\n"
    "Viele Grüße von deiner Gertrud Müller";

const char* const kGermanLong =
    "Hamburg, den 21. Oktober 1948\n\n"
    "Lieber Onkel Jürgen,\n\n"
    "endlich komme ich dazu, Dir zu schreiben. Wir wohnen jetzt in der Großen Bergstraße, "
    "gleich neben der Bäckerei Schröder. Die Wohnung ist klein, aber gemütlich, und "
    "aus dem Küchenfenster sieht man die Türme der Kirche.\n\n"
    "Vater arbeitet wieder im Hafen, und die Jungen gehen seit Ostern in die Schule. "
    "Günther ist fleißig und möchte später Lehrer werden; der kleine Fritz träumt nur "
    "von Fußball. Mutter läßt Dich herzlich grüßen und fragt, ob Du zu Weihnachten kommst.\n\n"
    "Mit herzlichen Grüßen\nDein Neffe Walter Köhler";

const char* const kFrenchShort =
    "Lyon, le 12 février 1953\n\n"
    "Chère Hélène,\n\n"
    "Merci pour ta lettre et pour les photos de Noël. Ta sœur est arrivée hier soir, "
    "très fatiguée mais contente. Nous irons tous à Évian en été.\n\n"
    "Je t'embrasse bien fort, ta cousine Françoise";

const char* const kFrenchLong =
    "Paris, le 5 septembre 1949\n\n"
    "Mon cher André,\n\n"
    "Voilà déjà trois semaines que nous sommes rentrés de Bretagne. Le voyage en train fut "
    "long, mais les enfants étaient sages. À la maison, tout va bien : Jérôme a commencé "
    "l'école, et Cécile apprend à lire avec beaucoup de plaisir.\n\n"
    "Ta mère m'a écrit que tu passeras peut-être par Paris en octobre. Tu seras le bienvenu ; "
    "nous préparerons ta chambre et un bon gâteau aux poires. Élise te réserve une surprise.\n\n"
    "Je t'embrasse de tout cœur,\nton frère Raymond Lefèvre";

// Typed letters, each line ended by the typist: in a typewriter's letters of
// one width the spaces of neighbouring lines stand one under another (a
// "river" four or five lines long here), which page layout can take for the
// gap between two columns.
const char* const kTypedBrother =
    "Dear Brother Wilhelm,\n"
    "\n"
    "Your letter of the second came on Friday and we read it at\n"
    "the supper table twice over. It is good to know that the\n"
    "roof is mended and that the new stove keeps the kitchen\n"
    "warm at last. Here the winter has been long and the lake\n"
    "was frozen far out from the shore until the end of\n"
    "February.\n"
    "\n"
    "The shop does well enough. We bake two hundred loaves on a\n"
    "Saturday now, and Elsie keeps the books in the little room\n"
    "at the back. Walter is in the third grade and reads the\n"
    "newspaper to me in the evenings, though he skips the long\n"
    "words and I pretend not to notice.\n"
    "\n"
    "Give my love to Martha and the girls, and write again\n"
    "soon.\n"
    "\n"
    "Your brother,\n"
    "Carl";

const char* const kTypedHouse =
    "Dear Mr. Harrison,\n"
    "\n"
    "I write to confirm the terms we discussed at your\n"
    "office on the fourth of this month. The house on Elm\n"
    "Street will be sold for the sum of four thousand two\n"
    "hundred and fifty dollars, of which one thousand is\n"
    "to be paid on signing and the rest in monthly sums of\n"
    "thirty dollars at five per cent.\n"
    "\n"
    "Mrs. Olsen will keep the garden furniture and the\n"
    "apple trees are to stay. The keys will be handed over\n"
    "on the first of June, when the present tenants leave.\n"
    "Please send the papers to me at the address above so\n"
    "that I may sign them before the end of the month.\n"
    "\n"
    "Yours very truly,\n"
    "Peter Olsen";

const char* const kTypedAunt =
    "Dear Aunt Ruth,\n"
    "\n"
    "We were so glad to have your card from the lake and the\n"
    "picture of the hotel. Mother says she stayed there once\n"
    "before the war, when the road still ended at the mill\n"
    "and the mail came up by boat twice a week.\n"
    "\n"
    "School starts again on Tuesday. I am to be in Miss\n"
    "Baker's class, and she is strict but fair, so everyone\n"
    "says. Father has painted the porch and the fence, and\n"
    "the dog has painted himself white as well, which nobody\n"
    "thought funny except Tommy.\n"
    "\n"
    "With love from all of us,\n"
    "Dorothy";

const char* const kTypedGerman =
    "Lieber Onkel J\u00fcrgen,\n"
    "\n"
    "vielen Dank f\u00fcr Deinen langen Brief und\n"
    "die Fotos aus Bremen. Wir haben uns sehr\n"
    "gefreut, dass es Tante Grete wieder besser\n"
    "geht und dass Ihr im Sommer an die See\n"
    "fahren wollt. Die Bilder vom Hafen h\u00e4ngen\n"
    "jetzt in der K\u00fcche \u00fcber dem Tisch.\n"
    "\n"
    "Hier ist alles beim Alten. Vater arbeitet\n"
    "jeden Tag in der Werkstatt, und Mutter\n"
    "n\u00e4ht f\u00fcr die Nachbarn. Ich gehe jetzt in\n"
    "die vierte Klasse und lerne flei\u00dfig\n"
    "Rechnen und Sch\u00f6nschreiben, aber am\n"
    "liebsten lese ich die B\u00fccher, die Du mir\n"
    "zu Weihnachten geschickt hast.\n"
    "\n"
    "Viele herzliche Gr\u00fc\u00dfe, auch von den\n"
    "Eltern,\n"
    "Dein G\u00fcnther";

// A letter drawn as the demo archive draws its typed letters (1100 x 1420
// pixels at 130 dpi, 28-pixel Nimbus Mono PS from (110, 120), its lines as
// the demo's 880 pixels wrap them): page layout read its lines cut in two,
// as two columns.
const char* const kTypedDemo =
    "Chicago, November 2, 1938\n"
    "\n"
    "Dear Anna,\n"
    "\n"
    "Elsie and I have talked it over and we want you to\n"
    "come to us. Times are hard everywhere, but here you\n"
    "would have a home and work in the shop. Walter asks\n"
    "about his aunt in Hannover and wants to see the\n"
    "city where his father was born.\n"
    "\n"
    "I will pay for the passage from Bremen. Please say\n"
    "yes.\n"
    "\n"
    "Your brother,\n"
    "Carl";

// A printed form filled in on a typewriter: each box holds a printed label
// and the typed answer after it.
struct Form {
  std::vector<const char*> heading;
  std::vector<std::pair<const char*, const char*>> fields;
  const char* footer;
};

const Form kForms[] = {
    {{"UNITED STATES DEPARTMENT OF LABOR", "DECLARATION OF INTENTION", "No. 48213"},
     {{"Name:", "Carl Heinrich Brandt"},
      {"Address:", "2214 Lincoln Avenue, Chicago, Illinois"},
      {"Occupation:", "baker"},
      {"Date of birth:", "March 3, 1901"},
      {"Place of birth:", "Hannover, Germany"},
      {"Arrived at:", "New York, April 8, 1923"},
      {"Vessel:", "S.S. George Washington"},
      {"Wife:", "Elsie Brandt, born Chicago, 1905"}},
     "Subscribed and sworn before me this 12th day of May, 1930."},
    {{"FIRST NATIONAL BANK OF ROCKFORD", "SAVINGS ACCOUNT DEPOSIT"},
     {{"Account No.:", "40-1178"},
      {"Depositor:", "Mrs. Betty Olsen"},
      {"Date:", "October 4, 1954"},
      {"Cash:", "$45.00"},
      {"Checks:", "$112.50"},
      {"Total deposit:", "$157.50"}},
     "Deposits are credited subject to final payment."},
};

// A long report in small type, for a large scan.
const char* const kReport =
    "REPORT OF THE TOWN COUNCIL OF MILLBROOK FOR THE YEAR 1951\n\n"
    "The council met twenty four times during the year, and the minutes of each meeting may be "
    "read at the town clerk's office on weekdays between nine and four. The principal works of "
    "the year were the new water main on River Road, the repair of the school roof, and the "
    "purchase of a second fire engine, which was delivered in October and is kept in the new "
    "shed behind the town hall.\n\n"
    "The water main was laid by the Hartford Pipe Company at a cost of 48,600 dollars, of which "
    "the state paid one half. Work began on April 2 and was finished on August 30, three weeks "
    "later than planned because of the heavy rains in June. Every house on River Road and on "
    "the lower part of Cedar Lane is now connected, and the old wells may be closed.\n\n"
    "The school roof was repaired in July by local builders under the direction of Mr. Walter "
    "Hughes. The cost was 6,250 dollars. The school board reports 412 pupils, the largest number "
    "in the history of the town, and asks the council to consider a new building for the lower "
    "grades within five years.\n\n"
    "The fire company answered 37 alarms, of which nine were for chimney fires and six for grass "
    "fires along the railway. No lives were lost. The council thanks the volunteers of the fire "
    "company for their service, and the ladies of the Grange for the suppers they served during "
    "the long night of the mill fire in February.\n\n"
    "The tax rate for the coming year is set at 31 mills, one mill less than last year. The "
    "council wishes all citizens a happy and prosperous new year.\n\n"
    "Albert Klein, Mayor\nEdna Parsons, Town Clerk";

// A carbon copy: faint typing on thin grey paper.
const char* const kCarbon =
    "Copy\n\n"
    "Mr. George H. Whitfield\nEastern Railway Company\nHartford, Connecticut\n\n"
    "Dear Sir,\n\n"
    "In reply to your letter of the ninth, I regret to say that the parcel sent from Hartford "
    "on the third of the month has not yet arrived at the Springfield office. The freight "
    "clerk has searched the sheds twice and found nothing.\n\n"
    "I should be grateful if you would send me the number of the waybill, so that we may trace "
    "the parcel along the line.\n\n"
    "Yours faithfully,\nF. W. Porter";

// ---------------------------------------------------------------- drawing

std::string escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

struct TextStyle {
  std::string font = "Liberation Serif 12";
  int width = 0;  // pixels; 0 for no wrapping
  VipsAlign align = VIPS_ALIGN_LOW;
  bool justify = false;
};

// The text's ink, 0 to 255, one band.
VImage textInk(std::string_view text, const TextStyle& style, int dpi) {
  auto* options = VImage::option()
                      ->set("font", style.font.c_str())
                      ->set("dpi", dpi)
                      ->set("align", style.align)
                      ->set("justify", style.justify);
  if (style.width > 0) options->set("width", style.width);
  return VImage::text(escaped(text).c_str(), options);
}

// A sheet of paper: layers of ink in their colours over the paper colour.
class Sheet {
 public:
  Sheet(double widthInches, double heightInches, int dpi, Colour paper)
      : dpi_(dpi),
        width_(static_cast<int>(std::lround(widthInches * dpi))),
        height_(static_cast<int>(std::lround(heightInches * dpi))),
        paper_(std::move(paper)) {}

  int dpi() const { return dpi_; }
  int width() const { return width_; }
  int height() const { return height_; }
  int px(double inches) const { return static_cast<int>(std::lround(inches * dpi_)); }

  // Draws text with its top left corner at (x, y) pixels; returns its height.
  int text(std::string_view text, const TextStyle& style, int x, int y, const Colour& colour) {
    const VImage ink = textInk(text, style, dpi_);
    layer(colour) = layer(colour).insert(ink, x, y);  // blocks never overlap
    return ink.height();
  }
  // Text whose bottom edge sits on the line at y (its descenders under it).
  void textOn(std::string_view text, const TextStyle& style, int x, int y, const Colour& colour) {
    const VImage ink = textInk(text, style, dpi_);
    layer(colour) = layer(colour).insert(ink, x, y - ink.height() * 4 / 5);
  }
  void rect(int x, int y, int w, int h, const Colour& colour, bool fill = true) {
    VImage& l = layer(colour);
    l = l.copy_memory();
    l.draw_rect({255}, x, y, w, h, VImage::option()->set("fill", fill));
  }
  void line(int x1, int y1, int x2, int y2, const Colour& colour) {
    VImage& l = layer(colour);
    l = l.copy_memory();
    l.draw_line({255}, x1, y1, x2, y2);
  }
  // A frame of the given thickness.
  void frame(int x, int y, int w, int h, int thickness, const Colour& colour) {
    rect(x, y, w, thickness, colour);
    rect(x, y + h - thickness, w, thickness, colour);
    rect(x, y, thickness, h, colour);
    rect(x + w - thickness, y, thickness, h, colour);
  }

  // The composed sheet, float, three bands.
  VImage composed() const {
    VImage out = VImage::black(width_, height_, VImage::option()->set("bands", 3))
                     .cast(VIPS_FORMAT_FLOAT) +
                 paper_;
    for (const auto& [colour, ink] : layers_) {
      const VImage alpha = ink.cast(VIPS_FORMAT_FLOAT) / 255.0;
      out = out * (1.0 - alpha) + alpha * colour;
    }
    return out;
  }
  const Colour& paper() const { return paper_; }

 private:
  // Layers are laid down in the order of their first use: white tape goes
  // on before the text typed on it.
  VImage& layer(const Colour& colour) {
    auto it = std::find_if(layers_.begin(), layers_.end(),
                           [&](const auto& l) { return l.first == colour; });
    if (it == layers_.end()) {
      layers_.emplace_back(colour, VImage::black(width_, height_).cast(VIPS_FORMAT_UCHAR));
      return layers_.back().second;
    }
    return it->second;
  }

  int dpi_;
  int width_;
  int height_;
  Colour paper_;
  std::vector<std::pair<Colour, VImage>> layers_;
};

const Colour kWhite{255, 255, 255};
const Colour kBlack{20, 20, 20};

struct Degradation {
  double angle = 0;     // degrees
  double blur = 0;      // sigma in pixels at 300 dpi
  double grain = 0;     // noise sigma
  double texture = 0;   // amplitude of blotchy paper texture
  unsigned seed = 1;
};

VImage degraded(const VImage& sheet, const Colour& paper, const Degradation& d, int dpi) {
  VImage out = sheet;
  if (d.texture > 0) {
    const int cell = std::max(8, dpi / 6);
    const VImage blotches =
        VImage::gaussnoise(out.width() / cell + 2, out.height() / cell + 2,
                           VImage::option()->set("sigma", d.texture)->set("mean", 0.0)->set(
                               "seed", static_cast<int>(d.seed)))
            .resize(cell, VImage::option()->set("kernel", VIPS_KERNEL_CUBIC))
            .extract_area(0, 0, out.width(), out.height());
    out = out + blotches;
  }
  if (d.angle != 0) {
    out = out.rotate(d.angle, VImage::option()->set("background", paper));
  }
  if (d.blur > 0) out = out.gaussblur(d.blur * dpi / 300.0);
  if (d.grain > 0) {
    const VImage noise = VImage::gaussnoise(
        out.width(), out.height(),
        VImage::option()->set("sigma", d.grain)->set("mean", 0.0)->set(
            "seed", static_cast<int>(d.seed + 100)));
    out = out + noise;
  }
  return out;
}

// ---------------------------------------------------------------- kinds

VImage letter(const char* text, double w, double h, int dpi, const char* font, Colour paper,
              Colour ink) {
  Sheet sheet(w, h, dpi, std::move(paper));
  const double margin = w > 6 ? 1.0 : 0.6;
  TextStyle style{font, sheet.px(w - 2 * margin)};
  sheet.text(text, style, sheet.px(margin), sheet.px(margin * 0.9), ink);
  return sheet.composed();
}

VImage newspaper(const Cutting& c, int dpi) {
  Sheet sheet(7.0, 6.2, dpi, {222, 216, 200});
  const Colour ink{35, 35, 35};
  TextStyle headline{"Liberation Serif Bold 17", sheet.px(6.4), VIPS_ALIGN_CENTRE};
  int y = sheet.px(0.3);
  y += sheet.text(c.headline, headline, sheet.px(0.3), y, ink) + sheet.px(0.15);
  sheet.rect(sheet.px(0.3), y, sheet.px(6.4), std::max(2, dpi / 150), ink);
  y += sheet.px(0.15);
  TextStyle column{"Liberation Serif 9.5", sheet.px(3.05), VIPS_ALIGN_LOW, true};
  const int left = sheet.text(c.left, column, sheet.px(0.3), y, ink);
  const int right = sheet.text(c.right, column, sheet.px(3.65), y, ink);
  sheet.rect(sheet.px(3.5), y, std::max(2, dpi / 150), std::max(left, right), ink);
  return sheet.composed();
}

VImage certificate(const Certificate& c, int dpi) {
  Sheet sheet(10.0, 8.0, dpi, {246, 240, 222});
  const Colour border{120, 60, 40};
  const Colour ink{25, 25, 35};
  // A heavy outer rule, a band of hatching and a fine inner rule, with
  // squares at the corners: the engraved frame of a printed form.
  sheet.frame(sheet.px(0.35), sheet.px(0.35), sheet.px(9.3), sheet.px(7.3), sheet.px(0.06), border);
  const int inner = sheet.px(0.6);
  sheet.frame(inner, inner, sheet.width() - 2 * inner, sheet.height() - 2 * inner, sheet.px(0.015),
              border);
  for (int x = sheet.px(0.45); x < sheet.width() - sheet.px(0.5); x += sheet.px(0.07)) {
    sheet.line(x, sheet.px(0.45), x + sheet.px(0.1), sheet.px(0.55), border);
    sheet.line(x, sheet.height() - sheet.px(0.55), x + sheet.px(0.1),
               sheet.height() - sheet.px(0.45), border);
  }
  for (int y = sheet.px(0.45); y < sheet.height() - sheet.px(0.5); y += sheet.px(0.07)) {
    sheet.line(sheet.px(0.45), y, sheet.px(0.55), y + sheet.px(0.1), border);
    sheet.line(sheet.width() - sheet.px(0.55), y, sheet.width() - sheet.px(0.45),
               y + sheet.px(0.1), border);
  }
  for (int cx : {sheet.px(0.3), sheet.width() - sheet.px(0.7)}) {
    for (int cy : {sheet.px(0.3), sheet.height() - sheet.px(0.7)}) {
      sheet.rect(cx, cy, sheet.px(0.4), sheet.px(0.4), border);
    }
  }
  int y = sheet.px(1.0);
  y += sheet.text(c.title, {"Liberation Serif Bold 30", sheet.px(8.0), VIPS_ALIGN_CENTRE},
                  sheet.px(1.0), y, border);
  y += sheet.px(0.35);
  sheet.text(c.body, {"Liberation Serif 15", sheet.px(8.0), VIPS_ALIGN_CENTRE}, sheet.px(1.0), y,
             ink);
  const int lineY = sheet.height() - sheet.px(1.6);
  for (const auto& [x, text] : {std::pair{sheet.px(1.2), c.left}, {sheet.px(5.8), c.right}}) {
    sheet.rect(x, lineY, sheet.px(3.0), std::max(2, dpi / 150), ink);
    sheet.text(text, {"Liberation Serif 11", sheet.px(3.0), VIPS_ALIGN_CENTRE}, x,
               lineY + sheet.px(0.08), ink);
  }
  return sheet.composed();
}

VImage recipe(const Recipe& r, int dpi) {
  Sheet sheet(5.0, 3.0, dpi, {250, 246, 228});
  const Colour blue{140, 175, 225};
  const Colour red{225, 120, 120};
  const Colour ink{30, 30, 60};
  const int top = sheet.px(0.55);
  sheet.rect(0, top, sheet.width(), std::max(2, dpi / 120), red);
  const int step = sheet.px(0.36);
  TextStyle typed{"Liberation Mono 10"};
  sheet.textOn(r.title, {"Liberation Sans Bold 12"}, sheet.px(0.3), top - sheet.px(0.06), ink);
  int y = top + step;
  for (std::size_t i = 0; y < sheet.height(); ++i, y += step) {
    sheet.rect(0, y, sheet.width(), std::max(1, dpi / 200), blue);
    if (i < r.lines.size()) sheet.textOn(r.lines[i], typed, sheet.px(0.3), y - sheet.px(0.05), ink);
  }
  return sheet.composed();
}

VImage postcard(const Postcard& p, int dpi) {
  Sheet sheet(5.5, 3.5, dpi, {244, 240, 230});
  const Colour ink{30, 40, 90};
  const Colour print{110, 110, 110};
  sheet.text(p.message, {"Liberation Serif 9.5", sheet.px(2.35)}, sheet.px(0.25), sheet.px(0.25),
             ink);
  sheet.rect(sheet.px(2.8), sheet.px(0.3), std::max(2, dpi / 150), sheet.px(2.9), print);
  sheet.frame(sheet.px(4.45), sheet.px(0.25), sheet.px(0.8), sheet.px(0.95), std::max(2, dpi / 150),
              print);
  int y = sheet.px(1.75);
  for (const char* line : p.address) {
    sheet.rect(sheet.px(3.0), y, sheet.px(2.3), std::max(1, dpi / 200), print);
    sheet.textOn(line, {"Liberation Serif 10"}, sheet.px(3.1), y - sheet.px(0.04), ink);
    y += sheet.px(0.4);
  }
  return sheet.composed();
}

VImage telegram(const Telegram& t, int dpi) {
  Sheet sheet(8.0, 5.0, dpi, {238, 226, 188});
  const Colour print{120, 40, 30};
  const Colour ink{25, 25, 25};
  sheet.text(t.form, {"Liberation Sans Bold 16", sheet.px(7.0), VIPS_ALIGN_CENTRE}, sheet.px(0.5),
             sheet.px(0.35), print);
  sheet.rect(sheet.px(0.5), sheet.px(1.25), sheet.px(7.0), std::max(2, dpi / 150), print);
  // Strips of white tape with the message typed on them, pasted on the form.
  int y = sheet.px(1.7);
  for (const char* strip : t.strips) {
    sheet.rect(sheet.px(0.6), y, sheet.px(6.8), sheet.px(0.38), kWhite);
    sheet.text(strip, {"Liberation Mono 13"}, sheet.px(0.75), y + sheet.px(0.08), ink);
    y += sheet.px(0.55);
  }
  return sheet.composed();
}

// Lines typed as they stand, each ended by the typist: no wrapping.
VImage typedLetter(const char* text, int dpi, const char* font, Colour paper, Colour ink) {
  Sheet sheet(8.5, 11, dpi, std::move(paper));
  sheet.text(text, {font}, sheet.px(1.0), sheet.px(0.9), ink);
  return sheet.composed();
}

// The demo archive's typed letter: 1100 x 1420 pixels at 130 dpi, 28-pixel
// type (15.5 points) from (110, 120).
VImage demoLetter(const char* text, int dpi) {
  Sheet sheet(1100.0 / 130, 1420.0 / 130, dpi, {245, 240, 224});
  sheet.text(text, {"Nimbus Mono PS 15.5077"}, sheet.px(110.0 / 130), sheet.px(120.0 / 130),
             {31, 29, 37});
  return sheet.composed();
}

VImage form(const Form& f, int dpi) {
  Sheet sheet(8.5, 11, dpi, {244, 241, 232});
  const Colour print{40, 50, 70};
  const Colour ink{25, 25, 25};
  int y = sheet.px(0.7);
  for (const char* line : f.heading) {
    y += sheet.text(line, {"Liberation Sans Bold 13", sheet.px(7.0), VIPS_ALIGN_CENTRE},
                    sheet.px(0.75), y, print) +
         sheet.px(0.08);
  }
  y += sheet.px(0.3);
  const int rule = std::max(2, dpi / 150);
  for (const auto& [label, value] : f.fields) {
    // A box of its own for each answer; the answer typed after the label.
    sheet.frame(sheet.px(0.75), y, sheet.px(7.0), sheet.px(0.6), rule, print);
    const int baseline = y + sheet.px(0.42);
    const TextStyle printed{"Liberation Sans 10"};
    sheet.textOn(label, printed, sheet.px(0.9), baseline, print);
    sheet.textOn(value, {"Liberation Mono 12"},
                 sheet.px(0.9) + textInk(label, printed, dpi).width() + sheet.px(0.15), baseline,
                 ink);
    y += sheet.px(0.6) - rule;
  }
  sheet.text(f.footer, {"Liberation Serif 10"}, sheet.px(0.75), y + sheet.px(0.4), print);
  return sheet.composed();
}

// A sheet lying on a scanner's dark bed at (x, y) inches, the bed around it
// in the scan, with the lid's shadow along its lower and right edges.
VImage onScannerBed(const VImage& sheet, double bedWidth, double bedHeight, double x, double y,
                    int dpi, const Colour& bed) {
  const auto px = [dpi](double inches) { return static_cast<int>(std::lround(inches * dpi)); };
  const auto plain = [](int w, int h, const Colour& colour) {
    return VImage::black(w, h, VImage::option()->set("bands", 3)).cast(VIPS_FORMAT_FLOAT) + colour;
  };
  const VImage shadow = plain(sheet.width(), sheet.height(), {bed[0] / 2, bed[1] / 2, bed[2] / 2});
  return plain(px(bedWidth), px(bedHeight), bed)
      .insert(shadow, px(x) + dpi / 30, px(y) + dpi / 30)
      .gaussblur(dpi / 40.0)
      .insert(sheet, px(x), px(y));
}

// ---------------------------------------------------------------- files

struct Bytes {
  std::vector<std::uint8_t> data;
  bool read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(in), {});
    return in.good() || in.eof();
  }
  bool write(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return out.good();
  }
};

std::uint32_t bigEndian32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
         (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

// The JPEG with its JFIF density, if any, set to "aspect ratio only", as
// many cameras and phones write it.
bool dropJfifDensity(const std::string& path) {
  Bytes file;
  if (!file.read(path)) return false;
  auto& b = file.data;
  if (b.size() < 20) return false;
  if (b[2] != 0xFF || b[3] != 0xE0 ||
      std::string_view(reinterpret_cast<const char*>(&b[6]), 4) != "JFIF") {
    return true;  // no JFIF segment: no density either
  }
  b[13] = 0;  // units: none
  b[14] = 0;
  b[15] = 1;
  b[16] = 0;
  b[17] = 1;
  return file.write(path);
}

// The PNG without its pHYs chunk.
bool dropPngDensity(const std::string& path) {
  Bytes file;
  if (!file.read(path)) return false;
  auto& b = file.data;
  for (std::size_t at = 8; at + 12 <= b.size();) {
    const std::size_t length = bigEndian32(b, at);
    const std::string_view type(reinterpret_cast<const char*>(&b[at + 4]), 4);
    if (type == "pHYs") {
      b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
              b.begin() + static_cast<std::ptrdiff_t>(at + 12 + length));
      break;
    }
    at += 12 + length;
  }
  return file.write(path);
}

void little(std::vector<std::uint8_t>& b, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A 24-bit BMP; pixelsPerMetre 0 leaves the density out.
bool writeBmp(const VImage& rgb, const std::string& path, std::uint32_t pixelsPerMetre) {
  std::size_t size = 0;
  std::unique_ptr<std::uint8_t, decltype(&g_free)> pixels(
      static_cast<std::uint8_t*>(rgb.write_to_memory(&size)), &g_free);
  const auto w = static_cast<std::uint32_t>(rgb.width());
  const auto h = static_cast<std::uint32_t>(rgb.height());
  const std::uint32_t row = (w * 3 + 3) / 4 * 4;
  std::vector<std::uint8_t> b;
  b.reserve(54 + row * h);
  b.push_back('B');
  b.push_back('M');
  little(b, 54 + row * h, 4);
  little(b, 0, 4);
  little(b, 54, 4);
  little(b, 40, 4);
  little(b, w, 4);
  little(b, h, 4);
  little(b, 1, 2);
  little(b, 24, 2);
  little(b, 0, 4);
  little(b, row * h, 4);
  little(b, pixelsPerMetre, 4);
  little(b, pixelsPerMetre, 4);
  little(b, 0, 4);
  little(b, 0, 4);
  for (std::uint32_t y = h; y-- > 0;) {
    const std::uint8_t* p = pixels.get() + static_cast<std::size_t>(y) * w * 3;
    for (std::uint32_t x = 0; x < w; ++x, p += 3) {
      b.push_back(p[2]);
      b.push_back(p[1]);
      b.push_back(p[0]);
    }
    for (std::uint32_t pad = w * 3; pad < row; ++pad) b.push_back(0);
  }
  Bytes file{std::move(b)};
  return file.write(path);
}

bool save(const VImage& composed, bool grey, const Page& page) {
  VImage out = composed.cast(VIPS_FORMAT_UCHAR);  // clips to 0 to 255
  out = out.copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  if (grey) out = out.colourspace(VIPS_INTERPRETATION_B_W);
  const double stated = (page.density == "72 dpi" ? 72.0 : page.dpi) / 25.4;
  out = out.copy(VImage::option()->set("xres", stated)->set("yres", stated)).copy_memory();
  const char* path = page.path.c_str();
  if (page.format == "jpg") {
    // Stripped, vips writes no JFIF segment and so no density at all.
    out.jpegsave(path, VImage::option()->set("Q", 82)->set("strip", page.density == "none"));
    return page.density != "none" || dropJfifDensity(page.path);
  }
  if (page.format == "png") {
    out.pngsave(path);
    return page.density != "none" || dropPngDensity(page.path);
  }
  if (page.format == "tif") {
    out.tiffsave(path, VImage::option()->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_LZW));
    return true;
  }
  if (page.format == "webp") {
    out.webpsave(path, VImage::option()->set("Q", 90)->set("strip", true));
    return true;
  }
  if (page.format == "heic") {
    out.heifsave(path, VImage::option()->set("Q", 80)->set("strip", true)->set(
                           "compression", VIPS_FOREIGN_HEIF_COMPRESSION_HEVC));
    return true;
  }
  if (page.format == "bmp") {
    const VImage rgb = out.colourspace(VIPS_INTERPRETATION_sRGB);
    const auto perMetre =
        page.density == "none" ? 0u : static_cast<std::uint32_t>(std::lround(stated * 1000));
    return writeBmp(rgb, page.path, perMetre);
  }
  return false;
}

struct Entry {
  const char* name;
  const char* kind;
  const char* format;
  const char* density;
  int dpi;
  bool grey;
  Degradation degradation;
  std::function<VImage(int)> draw;
  std::string truth;
  bool small;
  const char* language = "en";
};

std::string joinLines(const std::vector<const char*>& lines) {
  std::string out;
  for (const char* line : lines) {
    if (!out.empty()) out += '\n';
    out += line;
  }
  return out;
}

std::vector<Entry> catalogue() {
  const Colour yellowed{232, 222, 196};
  const Colour faded{95, 90, 85};
  std::vector<Entry> pages;
  auto letterPage = [&](const char* text, double w, double h, const char* font, Colour paper,
                        Colour ink) {
    return [=](int dpi) { return letter(text, w, h, dpi, font, paper, ink); };
  };
  pages.push_back({"letter-1", "letter", "png", "stated", 300, true, {},
                   letterPage(kLetterFamily, 8.5, 11, "Liberation Serif 12", kWhite, kBlack),
                   kLetterFamily, false});
  pages.push_back({"letter-2", "letter", "jpg", "none", 300, true, {1.5, 1.2, 22, 0, 2},
                   letterPage(kLetterHouse, 8.5, 11, "Nimbus Roman 12", yellowed, faded),
                   kLetterHouse, false});
  pages.push_back({"letter-3", "letter", "heic", "none", 200, false, {-0.8, 0.8, 10, 8, 3},
                   letterPage(kLetterReference, 8.5, 11, "Liberation Mono 11", yellowed, kBlack),
                   kLetterReference, false});
  for (int i = 0; i < 2; ++i) {
    const Cutting& c = kCuttings[i];
    const std::string truth = std::string(c.headline) + "\n" + c.left + "\n" + c.right;
    pages.push_back({i == 0 ? "newspaper-1" : "newspaper-2", "newspaper", i == 0 ? "tif" : "jpg",
                     i == 0 ? "stated" : "72 dpi", 300, true,
                     i == 0 ? Degradation{} : Degradation{0.7, 1.0, 14, 10, 4},
                     [&c](int dpi) { return newspaper(c, dpi); }, truth, false});
  }
  for (int i = 0; i < 2; ++i) {
    const Certificate& c = kCertificates[i];
    const std::string truth =
        std::string(c.title) + "\n" + c.body + "\n" + c.left + "\n" + c.right;
    pages.push_back({i == 0 ? "certificate-1" : "certificate-2", "certificate",
                     i == 0 ? "png" : "jpg", i == 0 ? "stated" : "none", i == 0 ? 300 : 200, false,
                     i == 0 ? Degradation{0, 0.6, 8, 18, 5} : Degradation{0.5, 1.0, 16, 26, 6},
                     [&c](int dpi) { return certificate(c, dpi); }, truth, false});
  }
  for (int i = 0; i < 2; ++i) {
    const Recipe& r = kRecipes[i];
    pages.push_back({i == 0 ? "recipe-1" : "recipe-2", "recipe", i == 0 ? "webp" : "bmp",
                     i == 0 ? "none" : "stated", 300, false,
                     i == 0 ? Degradation{0, 0.6, 6, 6, 7} : Degradation{1.0, 1.0, 14, 10, 8},
                     [&r](int dpi) { return recipe(r, dpi); },
                     std::string(r.title) + "\n" + joinLines(r.lines), i == 0});
  }
  for (int i = 0; i < 2; ++i) {
    const Postcard& p = kPostcards[i];
    pages.push_back({i == 0 ? "postcard-1" : "postcard-2", "postcard", i == 0 ? "jpg" : "webp",
                     i == 0 ? "72 dpi" : "none", 300, false,
                     i == 0 ? Degradation{0, 0.5, 5, 0, 9} : Degradation{-1.2, 1.0, 14, 12, 10},
                     [&p](int dpi) { return postcard(p, dpi); },
                     std::string(p.message) + "\n" + joinLines(p.address), i == 0});
  }
  for (int i = 0; i < 2; ++i) {
    const Telegram& t = kTelegrams[i];
    pages.push_back({i == 0 ? "telegram-1" : "telegram-2", "telegram", i == 0 ? "tif" : "bmp",
                     i == 0 ? "stated" : "none", i == 0 ? 300 : 200, false,
                     i == 0 ? Degradation{} : Degradation{0.6, 1.0, 16, 10, 11},
                     [&t](int dpi) { return telegram(t, dpi); },
                     std::string(t.form) + "\n" + joinLines(t.strips), false});
  }
  pages.push_back({"german-1", "german", "png", "none", 300, true, {0, 0.5, 6, 0, 12},
                   letterPage(kGermanShort, 4.1, 3.6, "Liberation Serif 11", kWhite, kBlack),
                   kGermanShort, true, "de"});
  pages.push_back({"german-2", "german", "jpg", "stated", 300, true, {1.0, 1.1, 18, 8, 13},
                   letterPage(kGermanLong, 8.27, 11.0, "Nimbus Roman 12", yellowed, faded),
                   kGermanLong, false, "de"});
  pages.push_back({"french-1", "french", "heic", "none", 300, false, {0, 0.5, 6, 0, 14},
                   letterPage(kFrenchShort, 4.1, 3.6, "Liberation Serif 11", kWhite, kBlack),
                   kFrenchShort, true, "fr"});
  pages.push_back({"french-2", "french", "tif", "stated", 300, true, {-1.0, 1.1, 18, 8, 15},
                   letterPage(kFrenchLong, 8.27, 11.0, "Liberation Serif 12", yellowed, faded),
                   kFrenchLong, false, "fr"});
  pages.push_back({"typed-1", "typed", "png", "stated", 130, false, {0, 0, 0, 4, 20},
                   [](int dpi) { return demoLetter(kTypedDemo, dpi); }, kTypedDemo, false});
  auto typedPage = [&](const char* text, const char* font, Colour paper) {
    return [=](int dpi) { return typedLetter(text, dpi, font, paper, kBlack); };
  };
  pages.push_back({"typed-2", "typed", "jpg", "none", 300, true, {0.3, 0.8, 8, 0, 21},
                   typedPage(kTypedBrother, "Liberation Mono 12", kWhite), kTypedBrother, false});
  pages.push_back({"typed-3", "typed", "png", "stated", 150, false, {-0.4, 0.7, 8, 6, 22},
                   typedPage(kTypedHouse, "Nimbus Mono PS 12", yellowed), kTypedHouse, false});
  pages.push_back({"typed-4", "typed", "webp", "none", 100, false, {0, 0.5, 5, 0, 23},
                   typedPage(kTypedAunt, "Liberation Mono 12", kWhite), kTypedAunt, false});
  pages.push_back({"typed-5", "typed", "heic", "none", 150, false, {0.5, 0.6, 6, 4, 24},
                   typedPage(kTypedGerman, "DejaVu Sans Mono 12", yellowed), kTypedGerman, false,
                   "de"});
  for (int i = 0; i < 2; ++i) {
    const Form& f = kForms[i];
    std::string truth = joinLines(f.heading);
    for (const auto& [label, value] : f.fields) truth += std::string("\n") + label + " " + value;
    truth += std::string("\n") + f.footer;
    pages.push_back({i == 0 ? "form-1" : "form-2", "form", i == 0 ? "png" : "jpg",
                     i == 0 ? "stated" : "none", i == 0 ? 300 : 200, false,
                     i == 0 ? Degradation{0.4, 0.7, 8, 8, 25} : Degradation{-0.6, 1.0, 12, 10, 26},
                     [&f](int dpi) { return form(f, dpi); }, truth, false});
  }
  pages.push_back({"large-1", "large", "tif", "stated", 400, true, {0.2, 0.8, 8, 6, 27},
                   letterPage(kReport, 8.5, 11, "Liberation Serif 10", kWhite, kBlack), kReport,
                   false});
  pages.push_back({"faded-1", "faded", "jpg", "none", 300, false, {0, 1.0, 8, 6, 28},
                   letterPage(kCarbon, 8.5, 11, "Liberation Mono 11", {200, 200, 196},
                              {125, 128, 150}),
                   kCarbon, false});
  pages.push_back({"faded-2", "faded", "png", "stated", 200, true, {0.7, 1.0, 20, 0, 29},
                   letterPage(kLetterReference, 8.5, 11, "Nimbus Roman 11", {170, 170, 170},
                              {70, 70, 70}),
                   kLetterReference, false});
  pages.push_back({"scanbed-1", "scanbed", "jpg", "stated", 400, false, {0.8, 0.8, 6, 4, 30},
                   [=](int dpi) {
                     return onScannerBed(letter(kLetterHouse, 8.5, 11, dpi, "Liberation Serif 12",
                                                yellowed, kBlack),
                                         8.7, 11.9, 0.1, 0.6, dpi, {38, 38, 42});
                   },
                   kLetterHouse, false});
  pages.push_back({"scanbed-2", "scanbed", "png", "72 dpi", 300, false, {-1.0, 0.7, 8, 0, 31},
                   [](int dpi) {
                     return onScannerBed(recipe(kRecipes[0], dpi), 8.5, 11.7, 0.4, 0.4, dpi,
                                         {12, 12, 14});
                   },
                   std::string(kRecipes[0].title) + "\n" + joinLines(kRecipes[0].lines), false});
  return pages;
}

// ---------------------------------------------------------------- scoring

std::vector<char32_t> normalized(const std::string& text) {
  std::vector<char32_t> out;
  bool space = false;
  for (char32_t c : text::codePoints(text)) {
    if (text::isWhitespace(c)) {
      space = !out.empty();
      continue;
    }
    if (c == U'\u2018' || c == U'\u2019') c = U'\'';
    if (c == U'\u201C' || c == U'\u201D' || c == U'\u201E') c = U'"';
    if (c == U'\u2014' || c == U'\u2013') c = U'-';
    if (space) out.push_back(U' ');
    space = false;
    out.push_back(c);
  }
  return out;
}

std::size_t editDistance(const std::vector<char32_t>& a, const std::vector<char32_t>& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

bool punctuation(char32_t c) {
  return c < 128 && !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'));
}

std::vector<std::u32string> words(const std::vector<char32_t>& text) {
  std::vector<std::u32string> out;
  std::u32string word;
  auto flush = [&] {
    std::size_t first = 0;
    std::size_t last = word.size();
    while (first < last && punctuation(word[first])) ++first;
    while (last > first && punctuation(word[last - 1])) --last;
    if (last > first) out.push_back(word.substr(first, last - first));
    word.clear();
  };
  for (char32_t c : text) {
    if (c == U' ') {
      flush();
    } else {
      word += c;
    }
  }
  flush();
  return out;
}

std::vector<Page> writeChosen(const std::string& folder,
                              const std::function<bool(const Entry&)>& chosen) {
  std::vector<Page> written;
  for (const Entry& r : catalogue()) {
    if (!chosen(r)) continue;
    Page page{r.name, r.kind, r.format, r.density, r.dpi, r.truth,
              folder + "/" + r.name + "." + r.format, r.language};
    try {
      VImage sheet = r.draw(r.dpi);
      const Degradation& d = r.degradation;
      if (d.angle != 0 || d.blur > 0 || d.grain > 0 || d.texture > 0) {
        // The paper colour for the corners a turn uncovers: the sheet's top left.
        const std::vector<double> corner = sheet.getpoint(0, 0);
        sheet = degraded(sheet, corner, d, r.dpi);
      }
      if (save(sheet, r.grey, page)) written.push_back(std::move(page));
    } catch (const vips::VError& e) {
      std::fprintf(stderr, "%s: %s\n", r.name, e.what());
      vips_error_clear();
    }
  }
  return written;
}

}  // namespace

std::vector<Page> writePages(const std::string& folder, bool small) {
  return writeChosen(folder, [small](const Entry& r) { return !small || r.small; });
}

std::vector<Page> writeNamedPages(const std::string& folder,
                                  const std::vector<std::string>& names) {
  return writeChosen(folder, [&names](const Entry& r) {
    return std::find(names.begin(), names.end(), r.name) != names.end();
  });
}

double Score::cer() const {
  return characters ? static_cast<double>(edits) / static_cast<double>(characters) : 0.0;
}

double Score::wordRecall() const {
  return words ? static_cast<double>(wordsFound) / static_cast<double>(words) : 1.0;
}

double Score::accentedRecall() const {
  return accentedWords ? static_cast<double>(accentedFound) / static_cast<double>(accentedWords)
                       : 1.0;
}

Score& Score::operator+=(const Score& o) {
  edits += o.edits;
  characters += o.characters;
  words += o.words;
  wordsFound += o.wordsFound;
  accentedWords += o.accentedWords;
  accentedFound += o.accentedFound;
  return *this;
}

Score score(const std::string& truth, const std::string& reading) {
  const auto t = normalized(truth);
  const auto r = normalized(reading);
  Score s;
  s.edits = editDistance(t, r);
  s.characters = t.size();
  std::map<std::u32string, int> available;
  for (const auto& word : words(r)) ++available[word];
  for (const auto& word : words(t)) {
    const bool accented =
        std::any_of(word.begin(), word.end(), [](char32_t c) { return c >= 128; });
    const bool found = available[word] > 0;
    if (found) --available[word];
    ++s.words;
    s.wordsFound += found ? 1 : 0;
    if (accented) {
      ++s.accentedWords;
      s.accentedFound += found ? 1 : 0;
    }
  }
  return s;
}

}  // namespace quorvel::OcrEvaluation
