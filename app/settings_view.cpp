#include "app/settings_view.h"

#include <QLabel>
#include <QVBoxLayout>

#include "app/app_model.h"

namespace quorvel::app {

SettingsView::SettingsView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  setObjectName("settingsView");
  setWindowTitle("Settings");
  resize(560, 520);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Settings"));
}

}  // namespace quorvel::app
