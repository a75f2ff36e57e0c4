#include "core/image_tools.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <memory>

#include <openssl/evp.h>

namespace quorvel::ImageTools {

namespace {

constexpr std::size_t kChunkBytes = 1 << 20;  // 1 MiB
constexpr int kLumaSampleEdge = 160;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);  // a failed close of a read-only file loses nothing
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// Rounds half away from zero; std::llround does, but overflows silently.
std::optional<int> scaledEdge(int edge, double scale) {
  const double v = std::round(static_cast<double>(edge) * scale);
  if (!std::isfinite(v) || v > VIPS_MAX_COORD) return std::nullopt;
  return std::max(1, static_cast<int>(v));
}

bool hasAlpha(const vips::VImage& image) {
  return vips_image_hasalpha(image.get_image()) != 0;
}

// 8-bit sRGB, or 8-bit grey for grey images, alpha kept: the one pixel format
// load() hands out whatever the file stored (16-bit, CMYK, palette ...).
vips::VImage toEightBit(const vips::VImage& image) {
  const VipsInterpretation kind = vips_image_guess_interpretation(image.get_image());
  const bool grey = kind == VIPS_INTERPRETATION_B_W || kind == VIPS_INTERPRETATION_GREY16;
  vips::VImage out = image.colourspace(grey ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB);
  if (out.format() != VIPS_FORMAT_UCHAR) out = out.cast(VIPS_FORMAT_UCHAR);
  return out;
}

// The image over an opaque background, as 8-bit sRGB with three bands.
vips::VImage opaqueSrgb(const vips::VImage& image, double background) {
  vips::VImage out = toEightBit(image);
  if (hasAlpha(out)) {
    out = out.flatten(vips::VImage::option()->set("background", std::vector<double>{background}));
  }
  out = out.colourspace(VIPS_INTERPRETATION_sRGB);
  if (out.format() != VIPS_FORMAT_UCHAR) out = out.cast(VIPS_FORMAT_UCHAR);
  return out;
}

// Scaled to exactly width x height. vips rounds its output size on its own
// terms, so an edge that comes out one pixel off is padded or cut.
vips::VImage scaledTo(const vips::VImage& image, int width, int height, VipsKernel kernel) {
  vips::VImage out = image;
  if (width != image.width() || height != image.height()) {
    out = image.resize(static_cast<double>(width) / image.width(),
                       vips::VImage::option()
                           ->set("vscale", static_cast<double>(height) / image.height())
                           ->set("kernel", kernel));
  }
  if (out.width() != width || out.height() != height) {
    out = out.embed(0, 0, width, height, vips::VImage::option()->set("extend", VIPS_EXTEND_COPY));
  }
  return out;
}

int jpegQ(double quality) {
  if (!std::isfinite(quality)) return 75;
  return std::clamp(static_cast<int>(std::lround(quality * 100)), 1, 100);
}

vips::VOption* jpegOptions(double quality) {
  // strip: the pixels are already upright and in sRGB; a copied orientation
  // tag or foreign profile would make viewers turn or recolour them again.
  return vips::VImage::option()->set("Q", jpegQ(quality))->set("strip", true);
}

}  // namespace

bool ensureStarted() {
  static const bool started = [] {
    if (VIPS_INIT("quorvel") != 0) return false;
    // The operation cache keeps decoded images alive for reuse; in a process
    // that reads thousands of scans that is only growing memory.
    vips_cache_set_max(0);
    // A fixed threshold: scan-sized buffers are mapped and given back when
    // freed. glibc otherwise raises it to the largest buffer freed so far, and
    // the buffers of images made on several threads then stay in per-thread
    // heaps: a keepsake book's peak memory doubled.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    return true;
  }();
  return started;
}

const std::set<std::string>& supportedExtensions() {
  static const std::set<std::string> extensions{"jpg", "jpeg", "png", "tif",  "tiff",
                                                "bmp", "webp", "gif", "heic", "heif"};
  return extensions;
}

bool isSupported(const std::string& path) {
  std::string_view name(path);
  while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
  if (const auto slash = name.rfind('/'); slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string ext(name.substr(dot + 1));
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return supportedExtensions().count(ext) > 0;
}

std::string sha256(const std::string& path) {
  // O_NONBLOCK: opening a fifo would otherwise wait for a writer.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return "";
  struct stat st {};
  // A folder opens for reading too; its read fails, but a fifo or device
  // would give bytes that are no scan's content.
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return "";

  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return "";
  std::vector<unsigned char> chunk(kChunkBytes);
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return "";  // the digest of part of a file names no file
    }
    if (EVP_DigestUpdate(ctx.get(), chunk.data(), static_cast<std::size_t>(n)) != 1) return "";
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return "";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0f];
  }
  return hex;
}

PixelSize dimensions(const std::string& path) {
  if (!ensureStarted()) return {};
  try {
    // Opening reads the header only; no pixels are decoded.
    const vips::VImage image = vips::VImage::new_from_file(
        path.c_str(), vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    PixelSize size{image.width(), image.height()};
    int orientation = 0;
    if (vips_image_get_typeof(image.get_image(), VIPS_META_ORIENTATION) &&
        vips_image_get_int(image.get_image(), VIPS_META_ORIENTATION, &orientation) == 0 &&
        orientation > 4) {
      std::swap(size.width, size.height);
    }
    return size;
  } catch (const vips::VError&) {
    vips_error_clear();
    return {};
  }
}

bool exceedsPixelBudget(PixelSize size) {
  return std::int64_t{size.width} * std::int64_t{size.height} > kPixelBudget;
}

namespace {

// The size the decoder itself produces for a long edge of maxLongEdge. A JPEG
// is shrunk while it is decoded, by 2, 4 or 8, so a very large photograph
// costs only the shrunk pixels; libvips leaves a factor of two at least to
// its own resize, shrinking by 2 only from 4 times the asked size, by 4 from
// 8 times and by 8 from 16 times. Every other format is decoded whole.
PixelSize decodedSize(const std::string& path, PixelSize declared, int maxLongEdge) {
  const char* loader = vips_foreign_find_load(path.c_str());
  if (!loader) {
    vips_error_clear();
    return declared;
  }
  if (std::string_view(loader).find("Jpeg") == std::string_view::npos) return declared;
  const int longEdge = std::max(declared.width, declared.height);
  int shrink = 1;
  while (shrink < 8 && longEdge / (shrink * 4) >= maxLongEdge) shrink *= 2;
  return {(declared.width + shrink - 1) / shrink, (declared.height + shrink - 1) / shrink};
}

}  // namespace

std::optional<vips::VImage> load(const std::string& path, int maxLongEdge) {
  if (!ensureStarted() || maxLongEdge < 1) return std::nullopt;
  // The header alone first: a PNG or TIFF is decoded whole even when a small
  // image is asked for, so a header that lies about its size would cost
  // minutes and gigabytes.
  const PixelSize declared = dimensions(path);
  if (declared.width < 1 || declared.height < 1 ||
      exceedsPixelBudget(decodedSize(path, declared, maxLongEdge))) {
    return std::nullopt;
  }
  try {
    // thumbnail shrinks on load where the format allows (JPEG, WebP, HEIF),
    // applies the orientation, and with size=down never enlarges.
    vips::VImage image = vips::VImage::thumbnail(
        path.c_str(), maxLongEdge,
        vips::VImage::option()->set("height", maxLongEdge)->set("size", VIPS_SIZE_DOWN));
    // Decode now: a lazy image would read the file again at every use and
    // report a damaged file only then.
    return toEightBit(image).copy_memory();
  } catch (const vips::VError&) {
    vips_error_clear();
    return std::nullopt;
  }
}

Thumbnail makeThumbnail(const std::string& source, const std::string& thumbDir,
                        const std::string& key, int longEdge) {
  std::error_code ignored;  // a folder that cannot be made fails the write below
  std::filesystem::create_directories(thumbDir, ignored);
  const PixelSize size = dimensions(source);
  Thumbnail result{std::nullopt, size.width, size.height};
  const std::string path = thumbDir + "/" + key + ".jpg";
  if (const auto image = load(source, longEdge); image && saveJpeg(*image, path, 0.82)) {
    result.path = path;
  }
  return result;
}

vips::VImage resize(const vips::VImage& image, double scale) {
  if (!ensureStarted() || !std::isfinite(scale) || scale <= 0 || image.width() < 1 ||
      image.height() < 1) {
    return image;
  }
  const auto width = scaledEdge(image.width(), scale);
  const auto height = scaledEdge(image.height(), scale);
  if (!width || !height) return image;
  try {
    return scaledTo(opaqueSrgb(image, 255), *width, *height, VIPS_KERNEL_LANCZOS3).copy_memory();
  } catch (const vips::VError&) {
    vips_error_clear();
    return image;
  }
}

std::optional<vips::VImage> crop(const vips::VImage& image, int x, int y, int width, int height) {
  if (!ensureStarted() || width <= 0 || height <= 0) return std::nullopt;
  const std::int64_t left = std::max<std::int64_t>(x, 0);
  const std::int64_t top = std::max<std::int64_t>(y, 0);
  const std::int64_t right = std::min<std::int64_t>(std::int64_t{x} + width, image.width());
  const std::int64_t bottom = std::min<std::int64_t>(std::int64_t{y} + height, image.height());
  if (right <= left || bottom <= top) return std::nullopt;
  try {
    return image.extract_area(static_cast<int>(left), static_cast<int>(top),
                              static_cast<int>(right - left), static_cast<int>(bottom - top));
  } catch (const vips::VError&) {
    vips_error_clear();
    return std::nullopt;
  }
}

bool saveJpeg(const vips::VImage& image, const std::string& to, double quality) {
  if (!ensureStarted()) return false;
  try {
    vips::VImage flat = image;
    try {
      flat = opaqueSrgb(image, 255);
    } catch (const vips::VError&) {
      vips_error_clear();  // the image as it is, as when flattening fails
    }
    flat.jpegsave(to.c_str(), jpegOptions(quality));
    return true;
  } catch (const vips::VError&) {
    vips_error_clear();
    return false;
  }
}

std::optional<std::vector<std::uint8_t>> jpegData(const vips::VImage& image, double quality) {
  if (!ensureStarted()) return std::nullopt;
  try {
    vips::VImage flat = image;
    try {
      flat = opaqueSrgb(image, 255);
    } catch (const vips::VError&) {
      vips_error_clear();
    }
    void* bytes = nullptr;
    std::size_t size = 0;
    flat.write_to_buffer(".jpg", &bytes, &size, jpegOptions(quality));
    std::vector<std::uint8_t> data(static_cast<std::uint8_t*>(bytes),
                                   static_cast<std::uint8_t*>(bytes) + size);
    g_free(bytes);
    return data;
  } catch (const vips::VError&) {
    vips_error_clear();
    return std::nullopt;
  }
}

Luminance luminanceStats(const vips::VImage& image) {
  if (image.width() < 1 || image.height() < 1) return {0, 255};
  if (!ensureStarted()) return {0, 255};
  const int width = std::min(image.width(), kLumaSampleEdge);
  const int height = std::min(image.height(), kLumaSampleEdge);
  try {
    // Transparent parts count as black, as on a fresh grey bitmap.
    vips::VImage grey = toEightBit(image);
    if (hasAlpha(grey)) {
      grey = grey.flatten(vips::VImage::option()->set("background", std::vector<double>{0}));
    }
    grey = grey.colourspace(VIPS_INTERPRETATION_B_W);
    if (grey.format() != VIPS_FORMAT_UCHAR) grey = grey.cast(VIPS_FORMAT_UCHAR);
    grey = scaledTo(grey, width, height, VIPS_KERNEL_LINEAR);
    if (grey.bands() != 1) grey = grey.extract_band(0);
    std::size_t size = 0;
    std::unique_ptr<std::uint8_t, decltype(&g_free)> pixels(
        static_cast<std::uint8_t*>(grey.write_to_memory(&size)), &g_free);
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (!pixels || size < n) return {0, 255};
    double sum = 0;
    double squares = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double v = pixels.get()[i];
      sum += v;
      squares += v * v;
    }
    const double mean = sum / static_cast<double>(n);
    const double variance = std::max(0.0, squares / static_cast<double>(n) - mean * mean);
    return {mean, std::sqrt(variance)};
  } catch (const vips::VError&) {
    vips_error_clear();
    return {0, 255};
  }
}

}  // namespace quorvel::ImageTools
