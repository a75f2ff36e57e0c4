// Writes the generated evaluation pages of printed-text reading into a
// folder, each image with its text beside it (<name>.txt), and lists them:
//
//   build/tools/ocr-evaluation-set FOLDER [--small]
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/image_tools.h"
#include "tools/ocr_evaluation.h"

int main(int argc, char** argv) {
  if (argc < 2 || (argc == 3 && std::strcmp(argv[2], "--small") != 0) || argc > 3) {
    std::fprintf(stderr, "usage: %s FOLDER [--small]\n", argv[0]);
    return 2;
  }
  if (!quorvel::ImageTools::ensureStarted()) return 1;
  std::error_code error;
  std::filesystem::create_directories(argv[1], error);
  const auto pages = quorvel::OcrEvaluation::writePages(argv[1], argc == 3);
  for (const auto& page : pages) {
    std::ofstream(std::string(argv[1]) + "/" + page.name + ".txt") << page.truth << "\n";
    std::printf("%s\t%s\t%s\t%d dpi, density %s\n", page.path.c_str(), page.kind.c_str(),
                page.format.c_str(), page.dpi, page.density.c_str());
  }
  return pages.empty() ? 1 : 0;
}
