#include "app/screenshot_mode.h"

#include <QElapsedTimer>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/app_model.h"
#include "app/window_list.h"

namespace quorvel::app::Snapshotter {

namespace {

// One step of a tour: what it does, then how long it waits (after an
// optional wait while a condition holds, polled every 0.5 s up to a limit).
struct Step {
  Step(std::function<void()> action, int waitMs, std::function<bool()> whileTrue = {}, int limitMs = 0)
      : action(std::move(action)), waitMs(waitMs), whileTrue(std::move(whileTrue)), limitMs(limitMs) {}
  std::function<void()> action;
  int waitMs = 0;
  std::function<bool()> whileTrue;
  int limitMs = 0;
};

// Runs the steps one after another on the GUI thread; lives as a child of
// the model, so a tour never outlives it. Each step starts with a line on
// standard error, so a tour that stalls shows where.
class Tour : public QObject {
 public:
  Tour(QObject* parent, std::vector<Step> steps) : QObject(parent), steps_(std::move(steps)) {}
  void start() {
    clock_.start();
    QTimer::singleShot(0, this, [this] { run(0); });
  }

 private:
  void run(std::size_t index) {
    if (index >= steps_.size()) {
      deleteLater();
      return;
    }
    std::fprintf(stderr, "snapshot: step %zu of %zu at %lld ms\n", index + 1, steps_.size(),
                 static_cast<long long>(clock_.elapsed()));
    std::fflush(stderr);
    steps_[index].action();
    poll(index, 0);
  }
  void poll(std::size_t index, int elapsed) {
    const Step& step = steps_[index];
    if (step.whileTrue && step.whileTrue() && elapsed < step.limitMs) {
      QTimer::singleShot(500, this, [this, index, elapsed] { poll(index, elapsed + 500); });
      return;
    }
    QTimer::singleShot(step.waitMs, this, [this, index] { run(index + 1); });
  }
  std::vector<Step> steps_;
  QElapsedTimer clock_;
};

void redrawAll() {
  for (const QPointer<QWidget>& window : WindowList::all()) {
    if (window) window->repaint();
  }
}

}  // namespace

std::optional<std::int64_t> translateId(const char* value) {
  if (!value || !*value) return std::nullopt;
  std::string text = value;
  std::size_t start = (text[0] == '+' || text[0] == '-') ? 1 : 0;
  if (start == text.size() || text.size() - start > 18) return std::nullopt;
  for (std::size_t i = start; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  return std::stoll(text);
}

int shoot(const std::string& folder, const std::string& name, bool onlySettingsSized) {
  int written = 0;
  const auto windows = WindowList::all();
  for (std::size_t i = 0; i < windows.size(); ++i) {
    QWidget* window = windows[i];
    if (!window || !window->isVisible() || window->width() <= 50) continue;
    if (onlySettingsSized && window->width() > 700) continue;
    const QPixmap picture = window->grab();
    if (picture.isNull()) continue;
    const QString path = QString::fromStdString(folder + "/" + name + "-w" + std::to_string(i) + ".png");
    if (picture.save(path, "PNG")) ++written;
  }
  return written;
}

void features(AppModel& model, const std::string& folder) {
  const char* questionValue = std::getenv("QUORVEL_SNAPSHOT_QUESTION");
  const std::string question = questionValue ? questionValue : "Who stayed behind in Hannover?";
  const std::optional<std::int64_t> translate = translateId(std::getenv("QUORVEL_SNAPSHOT_TRANSLATE"));
  AppModel* m = &model;
  std::vector<Step> steps;
  steps.push_back(Step{[] {}, 3000});
  steps.push_back(Step{[m] { m->setShowAsk(true); }, 1000});
  steps.push_back(Step{[m, question] { m->ask(question); }, 1000, [m] { return m->asking(); }, 90000});
  steps.push_back(Step{[m, folder] {
                     shoot(folder, "5-ask", false);
                     const auto& history = m->askHistory();
                     if (!history.empty() && history.front().answer && !history.front().answer->sources.empty()) {
                       m->openSource(history.front().answer->sources.front());
                     }
                   },
                   3000});
  if (translate) {
    const std::int64_t id = *translate;
    steps.push_back(Step{[folder] { shoot(folder, "6-source", false); }, 0});
    steps.push_back(Step{[m, id] {
                       m->setShowAsk(false);
                       m->setPath({id});
                     },
                     3000});
    steps.push_back(Step{[m, folder, id] {
                       shoot(folder, "7-offer", false);
                       m->translate(id);
                     },
                     2000, [m, id] { return m->translating().count(id) > 0; }, 120000});
    steps.push_back(Step{[m, folder] {
                       shoot(folder, "8-translated", false);
                       m->setPath({});
                       m->setShowAsk(false);
                     },
                     1000});
  } else {
    steps.push_back(Step{[m, folder] {
                       shoot(folder, "6-source", false);
                       m->setPath({});
                       m->setShowAsk(false);
                     },
                     1000});
  }
  steps.push_back(Step{[m] { m->makeBook(); }, 2500});
  steps.push_back(Step{[m, folder] {
                     shoot(folder, "9-book", false);
                     m->desktop().quit();
                   },
                   0});
  (new Tour(&model, std::move(steps)))->start();
}

void runIfAsked(AppModel& model, std::function<void()> openSettings) {
  const char* value = std::getenv("QUORVEL_SNAPSHOT");
  if (!value || !*value) return;
  const std::string folder = value;
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  if (std::getenv("QUORVEL_SNAPSHOT_FEATURES")) {
    features(model, folder);
    return;
  }
  AppModel* m = &model;
  std::vector<Step> steps;
  steps.push_back(Step{[] {}, 3000});
  steps.push_back(Step{[m, folder] {
                     shoot(folder, "1-library", false);
                     const auto& items = m->items();
                     const ArchiveItem* pick = nullptr;
                     for (const ArchiveItem& item : items) {
                       if (item.kind == ItemKind::letter) {
                         pick = &item;
                         break;
                       }
                     }
                     if (!pick && !items.empty()) pick = &items.front();
                     if (pick) m->setPath({pick->id});
                   },
                   3000});
  steps.push_back(Step{[m, folder] {
                     shoot(folder, "2-scan", false);
                     m->setPath({});
                     m->setSearchText("Chicago");
                   },
                   1500});
  steps.push_back(Step{[m, folder] {
                     shoot(folder, "3-search", false);
                     m->setSearchText("");
                   },
                   500});
  steps.push_back(Step{[m, openSettings] {
                     m->setSettingsTab(0);
                     if (openSettings) openSettings();
                     m->setSettingsTab(0);
                     redrawAll();
                   },
                   1200});
  for (int tab = 0; tab <= 3; ++tab) {
    steps.push_back(Step{[m, folder, tab] {
                       shoot(folder, "4-settings" + std::to_string(tab), true);
                       if (tab < 3) {
                         m->setSettingsTab(tab + 1);
                         redrawAll();
                       }
                     },
                     1200});
  }
  steps.push_back(Step{[m] { m->setSettingsTab(0); }, 1200});
  steps.push_back(Step{[m, folder] {
                     shoot(folder, "4-settings5", true);
                     m->desktop().quit();
                   },
                   0});
  (new Tour(&model, std::move(steps)))->start();
}

}  // namespace quorvel::app::Snapshotter
