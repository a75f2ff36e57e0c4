#pragma once
// The question panel: the question field with its examples, the reader offer,
// and the answers of this run, newest first, with their numbered sources.
#include <QWidget>

namespace quorvel::app {

class AppModel;

class AskView : public QWidget {
  Q_OBJECT

 public:
  explicit AskView(AppModel& model, QWidget* parent = nullptr);

 private:
  AppModel& model_;
};

}  // namespace quorvel::app
