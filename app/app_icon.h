#pragma once
// The program's icon: the icon theme's "quorvel-ink" when one is installed,
// else the copy built into the program.
#include <QIcon>

namespace quorvel::app {

QIcon appIcon();

}  // namespace quorvel::app
