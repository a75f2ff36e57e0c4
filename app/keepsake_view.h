#pragma once
// The keepsake book sheet: a modal dialog over the main window that chooses
// the scans and options of a printed book and writes it on a worker.
#include <QDialog>

namespace quorvel::app {

class AppModel;

class KeepsakeView : public QDialog {
  Q_OBJECT

 public:
  explicit KeepsakeView(AppModel& model, QWidget* parent = nullptr);

 private:
  AppModel& model_;
};

}  // namespace quorvel::app
