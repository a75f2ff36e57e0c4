#pragma once
// The application's own list of its windows, in the order they were first
// made (the main window first). Qt's lists of top-level widgets have no
// stable order and hold hidden helper windows; this one holds only the
// windows the application shows. GUI thread only.
#include <QPointer>
#include <QWidget>
#include <vector>

namespace quorvel::app::WindowList {

// Adds the window once; a destroyed window stays in its place as a gap, so
// that positions never shift.
void add(QWidget* window);
// Every window added, in order; destroyed ones are null.
std::vector<QPointer<QWidget>> all();

}  // namespace quorvel::app::WindowList
