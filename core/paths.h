#pragma once
// The data folder and its fixed parts. The root comes from QUORVEL_DATA (a
// leading "~" expanded), else $XDG_DATA_HOME/QuorvelInk, else
// ~/.local/share/QuorvelInk. It is worked out once, on first use, and replaced
// only by useRoot(). Safe to read from any thread.
#include <string>
#include <string_view>

namespace quorvel {

namespace QuorvelPaths {
std::string dataRoot();
std::string thumbnailDir();  // root + "/thumbs"
std::string backupDir();     // root + "/backups"
std::string catalogFile();   // root + "/catalog.db"
std::string logDir();        // root + "/logs"
std::string runtimeDir();    // root + "/runtime"
std::string modelDir();      // root + "/models"

// The root the environment names now (what the first use of dataRoot() takes).
std::string rootFromEnvironment();
// Makes the folder the data root unchanged, then calls ensureCreated().
// Tests use it to point the root at a temporary folder.
void useRoot(const std::string& path);
// Creates the root and its thumbs, models, runtime and logs folders; failures are ignored.
void ensureCreated();
}  // namespace QuorvelPaths

// Writes the bytes to a temporary file beside the path and renames it over the
// path, so readers see the old or the new file whole. False on any failure.
bool writeFileAtomically(const std::string& path, std::string_view bytes);

// The whole file, or false when it cannot be read.
bool readWholeFile(const std::string& path, std::string& out);

}  // namespace quorvel
