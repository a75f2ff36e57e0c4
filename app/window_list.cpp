#include "app/window_list.h"

#include <algorithm>

namespace quorvel::app::WindowList {

static std::vector<QPointer<QWidget>>& windows() {
  static std::vector<QPointer<QWidget>> list;
  return list;
}

void add(QWidget* window) {
  auto& list = windows();
  if (std::find(list.begin(), list.end(), window) == list.end()) list.emplace_back(window);
}

std::vector<QPointer<QWidget>> all() { return windows(); }

}  // namespace quorvel::app::WindowList
