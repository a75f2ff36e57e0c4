#pragma once
// The page of one scan: the scan with zoom beside its text, title, kind,
// people, dates, uncertain words, notes and translation. Made fresh for each
// item id; what is typed is stored in the catalog as it is typed.
#include <cstdint>

#include <QWidget>

namespace quorvel::app {

class AppModel;

class DetailView : public QWidget {
  Q_OBJECT

 public:
  DetailView(AppModel& model, std::int64_t itemId, QWidget* parent = nullptr);
  ~DetailView() override;
  std::int64_t itemId() const { return itemId_; }
  // Stores unsaved edits at once; called before the page is closed or replaced.
  void saveNow();

 private:
  AppModel& model_;
  std::int64_t itemId_;
};

}  // namespace quorvel::app
