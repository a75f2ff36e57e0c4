#pragma once
// The scans of the demo archive (make-demo-archive): one family's papers
// drawn as images, typed letters, certificates, cuttings, cards, photos and
// their backs. Shared by the tool and the tests that read its pages.
#include <cstddef>
#include <string>
#include <vector>

namespace quorvel::DemoScans {

enum class Look { typed, typewriter, certificate, cutting, card, photo, photoBack };

struct DemoScan {
  const char* fileName;
  Look look;
  const char* text;  // pango markup for typed looks; the scene's seed words for photos
  std::vector<const char*> people;
};

// The scans, in a fixed order.
const std::vector<DemoScan>& demoScans();

// Draws the scan of that index in demoScans() and writes it to the path
// (JPEG for ".jpg" names, PNG otherwise), the same each time; throws
// vips::VError when it cannot be written.
void render(std::size_t index, const std::string& path);

}  // namespace quorvel::DemoScans
