#pragma once
// The screenshot mode: when QUORVEL_SNAPSHOT names a folder, the program
// drives its own windows through a fixed tour, writes a PNG of its windows
// after each step ("<folder>/<step>-w<i>.png", i the window's place in
// WindowList) and quits by the normal path. QUORVEL_SNAPSHOT_FEATURES picks
// the feature tour (question, source, translation, keepsake book) over the
// library tour (library, scan, search, settings tabs). Every failure is
// silent; the start of each step is written to standard error ("snapshot:
// step 3 of 11 at 7012 ms"). GUI thread only.
#include <functional>
#include <optional>
#include <string>

#include <QString>

namespace quorvel::app {

class AppModel;

namespace Snapshotter {

// Starts the tour the environment asks for and returns at once; nothing when
// QUORVEL_SNAPSHOT is absent or empty. `openSettings` shows the settings window.
void runIfAsked(AppModel& model, std::function<void()> openSettings);
// Starts the feature tour writing into the folder.
void features(AppModel& model, const std::string& folder);
// The item id QUORVEL_SNAPSHOT_TRANSLATE gives: decimal digits with an
// optional leading "+" or "-"; none for anything else.
std::optional<std::int64_t> translateId(const char* value);
// Writes the pictures of one step; with onlySettingsSized, windows wider than
// 700 are left out. Returns how many pictures were written.
int shoot(const std::string& folder, const std::string& name, bool onlySettingsSized);

}  // namespace Snapshotter
}  // namespace quorvel::app
