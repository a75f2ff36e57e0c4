#include "app/app_icon.h"

// Resources of a static library are linked only when asked for by name.
static void initIconResources() { Q_INIT_RESOURCE(icons); }

namespace quorvel::app {

QIcon appIcon() {
  initIconResources();
  return QIcon::fromTheme("quorvel-ink", QIcon(":/icons/quorvel-ink.svg"));
}

}  // namespace quorvel::app
