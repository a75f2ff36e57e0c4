#pragma once
// The keepsake book sheet: a modal dialog over the main window that chooses
// the scans and options of a printed book and writes it on a worker.
//
// The candidates are the items the library shows when the sheet opens, in
// that order, all chosen at first. "Make Book…" asks for the file through the
// model's save panel and writes the book on a worker of the sheet, whose
// progress and end come back by queued calls dropped once the sheet is gone.
// While the book is being made the sheet cannot be closed: Cancel is
// disabled, and Escape and the window's close button do nothing. Closing the
// sheet in any way sets the model's showBook to false.
// GUI thread only.
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <QDialog>

#include "app/app_model.h"
#include "app/background.h"
#include "core/keepsake_book.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListView;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace quorvel::app {

class CandidateList;
namespace PanelStyle {
class ClampedText;
}

class KeepsakeView : public QDialog {
  Q_OBJECT

 public:
  explicit KeepsakeView(AppModel& model, QWidget* parent = nullptr);
  ~KeepsakeView() override;

  // "3 scans · about 10 pages": n, "scan" or "scans", and 2n + 4 pages.
  static std::string summaryText(int chosen);
  // The list heading's source: "your whole library" for "Library", else the title.
  static std::string sourceName(const std::string& libraryTitle);
  // "None" when every candidate is chosen, else "All".
  static std::string allNoneTitle(std::size_t chosen, std::size_t candidates);
  // The title to start with: "Letters of <name>" when the title is still the
  // default and the filter is a person found in `people`; else `title`.
  static std::string initialTitle(const std::string& title, const LibraryFilter& filter,
                                  const std::vector<Person>& people);
  // "Make Book…" is enabled: not working, something chosen, and a title that
  // is not empty once spaces and tabs are trimmed.
  static bool canMake(bool working, std::size_t chosen, const std::string& title);
  // The second line of a candidate row: its first date made readable and its
  // kind word (none for a plain scan), joined by " · ".
  static std::string rowDetail(const ArchiveItem& item,
                               const std::unordered_map<std::int64_t, std::string>& firstDates);
  // The proposed file name: the title trimmed of spaces and tabs, never
  // naming a folder, with ".pdf".
  static std::string proposedFileName(const std::string& title);

  // State, for the tests and the benchmark.
  bool working() const { return working_; }
  double progress() const { return progress_; }
  const std::optional<std::string>& error() const { return error_; }
  std::vector<std::int64_t> chosenIds() const;  // in the candidates' order
  const KeepsakeOptions& options() const { return options_; }

  // Asks for the file and starts the book (what "Make Book…" does).
  void make();

  void reject() override;
  void done(int result) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void updateFooter();
  void updateChoice();
  void finished(const std::string& path, std::optional<KeepsakeSummary> summary,
                std::optional<std::string> error);

  AppModel& model_;
  KeepsakeOptions options_;
  bool working_ = false;
  double progress_ = 0;
  std::optional<std::string> error_;

  CandidateList* candidates_ = nullptr;
  QListView* list_ = nullptr;
  QPushButton* allNone_ = nullptr;
  QLineEdit* title_ = nullptr;
  QCheckBox* includeText_ = nullptr;
  QCheckBox* includeTranslations_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  PanelStyle::ClampedText* status_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* makeButton_ = nullptr;

  GuiLinkPtr link_;
  Workers workers_;  // last: joined first when the sheet goes
};

}  // namespace quorvel::app
