#pragma once
// Fixtures shared by the test programs.
#include <string>

namespace quorvel::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Points the data root at a fresh temporary folder for the life of the object.
class ScopedDataRoot {
 public:
  ScopedDataRoot();
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
};

// Writes text to a file (creating parent folders); fails the test on error.
void writeFile(const std::string& path, const std::string& contents);
// The whole file ("" when missing).
std::string readFile(const std::string& path);

}  // namespace quorvel::testing
