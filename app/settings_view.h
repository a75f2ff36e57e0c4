#pragma once
// The settings window: one, not modal, with the archive, the handwriting
// reader, the watched folders and the backups on four tabs.
#include <QWidget>

namespace quorvel::app {

class AppModel;

class SettingsView : public QWidget {
  Q_OBJECT

 public:
  explicit SettingsView(AppModel& model, QWidget* parent = nullptr);

 private:
  AppModel& model_;
};

}  // namespace quorvel::app
