#pragma once
// One question of the question panel: the question, then its answer with
// the warnings and the numbered sources, or its failure, or a progress line
// while it is being worked out. A source row opens its scan. The card holds
// no state of its own: the panel hands it the entry again when it changes.
// GUI thread only.
#include <optional>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QFrame>

#include "app/app_model.h"

class QLabel;
class QVBoxLayout;

namespace quorvel::app {

class ThumbnailView;
namespace PanelStyle {
class ClampedText;
}

// One source of an answer: thumbnail, "[n]", title, date and the quote.
// Clicking it opens the scan through the model.
class SourceRow : public QAbstractButton {
  Q_OBJECT

 public:
  SourceRow(AppModel& model, AskSource source, QWidget* parent = nullptr);
  const AskSource& source() const { return source_; }
  bool hovering() const { return hovering_; }

  // "[12]"
  static std::string numberText(int number);
  // "· June 3, 1947", or none without a date.
  static std::optional<std::string> dateText(const std::optional<std::string>& date);
  // The quote between typographic quotation marks.
  static std::string quoteText(const std::string& quote);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  AppModel& model_;
  AskSource source_;
  bool hovering_ = false;
};

class AnswerCard : public QFrame {
  Q_OBJECT

 public:
  // What the card shows under the question: an answer wins over an error,
  // an error over the progress line.
  enum class Shows { answer, error, progress };
  static Shows shows(const AskEntry& entry);
  // The entry's status, or "Reading your letters…" without one.
  static std::string progressText(const AskEntry& entry);
  // The warning for numbers no source contains; empty for none.
  static std::string unsupportedText(const std::vector<std::string>& unsupported);
  // The advice under an answer that found nothing.
  static std::string notFoundAdvice();

  AnswerCard(AppModel& model, AskEntry entry, QWidget* parent = nullptr);
  // Shows the entry (rebuilt only when it differs from the one shown).
  void setEntry(const AskEntry& entry);
  const AskEntry& entry() const { return entry_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void build();

  AppModel& model_;
  AskEntry entry_;
  QVBoxLayout* layout_ = nullptr;
};

}  // namespace quorvel::app
