#pragma once
// The image and file helpers the core shares: which files count as scans,
// SHA-256 of a file, the displayed pixel size of an image file, decoding at a
// bounded size with the stored orientation applied, scaling, cropping, JPEG
// writing (flattened onto white) and brightness statistics.
//
// Images are libvips images (vips::VImage: reference-counted, immutable,
// cheap to copy). Every function may be called from any thread at the same
// time; none throws. Each returns its failure value instead: "" (sha256),
// (0, 0) (dimensions), none (load, crop, jpegData, a thumbnail path), false
// (saveJpeg), the given image (resize), (0, 255) (luminanceStats).
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <vips/vips8>

namespace quorvel::ImageTools {

// Starts libvips once per process (thread-safe; later calls return at once)
// and turns its operation cache off, since the process runs for a long time;
// also fixes malloc's mmap threshold at 1 MiB for the whole process, so that
// the memory of large images goes back to the system when they are freed.
// Every function below calls it; code that makes vips::VImage values itself
// calls it first. Returns false when libvips could not start.
bool ensureStarted();

// The lower-case extensions that count as scan files: jpg, jpeg, png, tif,
// tiff, bmp, webp, gif, heic, heif.
const std::set<std::string>& supportedExtensions();

// True when the extension of the path's last component (the text after its
// last "."), lower-cased, is supported: "Letter.JPG" is, "notes.txt" is not.
bool isSupported(const std::string& path);

// 64 lower-case hexadecimal digits of the SHA-256 of the file's bytes, read
// in 1 MiB chunks. "" when the path is not a regular file, cannot be opened,
// or a read fails part-way.
std::string sha256(const std::string& of);

struct PixelSize {
  int width = 0;
  int height = 0;
  bool operator==(const PixelSize&) const = default;
};

// The pixel size as displayed (width and height swapped for the quarter-turn
// orientations 5 to 8), read from the header without decoding the pixels.
// (0, 0) when the file is not a readable image.
PixelSize dimensions(const std::string& path);

// The most pixels an image may declare and still be decoded: 300 million,
// four times a 600-dpi A3 page and twice a 1200-dpi A4 page. A header that
// claims more belongs to no scan (a crafted or damaged file); decoding it
// would take minutes and gigabytes whatever size is asked for.
inline constexpr std::int64_t kPixelBudget = 300'000'000;

// True when the size is over kPixelBudget.
bool exceedsPixelBudget(PixelSize size);

// The first image of the file, upright as displayed, decoded at reduced size
// so that neither edge exceeds maxLongEdge; an image already within the limit
// comes back at its own size, never enlarged. 8 bits a channel, sRGB (or grey
// for a grey file), with an alpha band when the file has one. Pixels are
// decoded at once (the file is not read again later). None when the file
// cannot be decoded, and at once, before decoding, when what would be
// decoded is over kPixelBudget pixels (a JPEG shrinks by up to 8 while it is
// decoded, so a 20000 x 20000 photograph still gives a bounded picture).
std::optional<vips::VImage> load(const std::string& path, int maxLongEdge);

struct Thumbnail {
  std::optional<std::string> path;  // none when it could not be written
  int width = 0;                    // the source's displayed pixel size
  int height = 0;
};

// Writes thumbDir + "/" + key + ".jpg": the source decoded at longEdge,
// JPEG quality 0.82. Creates thumbDir with missing parents first.
Thumbnail makeThumbnail(const std::string& source, const std::string& thumbDir,
                        const std::string& key, int longEdge);

// The image scaled by the factor: each edge times scale, rounded half away
// from zero, at least 1; 8-bit sRGB without alpha, drawn over white. The
// given image unchanged when scaling fails. scale must be finite and positive.
vips::VImage resize(const vips::VImage& image, double scale);

// The part inside the rectangle (origin top-left), clipped to the image;
// none when the rectangle lies wholly outside or is empty.
std::optional<vips::VImage> crop(const vips::VImage& image, int x, int y, int width, int height);

// Writes the image, flattened onto opaque white in 8-bit sRGB, as a JPEG at
// quality 0 to 1, replacing any file at the path. True when written.
bool saveJpeg(const vips::VImage& image, const std::string& to, double quality);

// The same JPEG bytes in memory; none on failure.
std::optional<std::vector<std::uint8_t>> jpegData(const vips::VImage& image, double quality);

struct Luminance {
  double mean = 0;
  double stddev = 0;
};

// Mean and standard deviation on the 0-255 grey scale, sampled at the image's
// size limited to 160 by 160 (each edge limited on its own). (0, 255) for an
// empty image or when the sample cannot be made.
Luminance luminanceStats(const vips::VImage& image);

}  // namespace quorvel::ImageTools
