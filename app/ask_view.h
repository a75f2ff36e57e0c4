#pragma once
// The question panel: the question field with its examples, the reader offer,
// and the answers of this run, newest first, with their numbered sources.
// It keeps only the text being typed; the history belongs to the model.
// GUI thread only.
#include <map>
#include <string>
#include <vector>

#include <QString>
#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace quorvel::app {

class AnswerCard;
class AppModel;

class AskPanel : public QWidget {
  Q_OBJECT

 public:
  explicit AskPanel(AppModel& model, QWidget* parent = nullptr);

  // The three example questions, in the order shown.
  static const std::vector<std::string>& examples();
  // The "Ask" button's state: the question with spaces and tabs trimmed from
  // both ends is not empty, and no question is being answered.
  static bool canAsk(const QString& question, bool asking);
  // The question as sent: white space and line breaks trimmed from both ends.
  static QString trimmedQuestion(const QString& question);
  // The reader-needed box's sentence with the built-in download size.
  static std::string readerNeededText();
  // "Resume Download" while paused, else "Download the Reader".
  static std::string readerButtonTitle(bool paused);

  QString question() const;
  void setQuestion(const QString& text);
  // Sends the question: nothing for a blank one or while a question is being
  // answered; without the reader it starts (or joins) the download and keeps
  // the text; otherwise it empties the field and asks.
  void send();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void updateAskButton();
  void updateReader();
  void updateHistory();
  // The examples show while there is no question yet and the reader is installed.
  void showExamples();

  AppModel& model_;
  QPlainTextEdit* field_ = nullptr;
  QPushButton* askButton_ = nullptr;
  QWidget* readerBox_ = nullptr;
  QProgressBar* readerProgress_ = nullptr;
  QLabel* readerMessage_ = nullptr;
  QPushButton* readerButton_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QVBoxLayout* historyLayout_ = nullptr;
  QWidget* examplesBlock_ = nullptr;
  std::map<std::string, AnswerCard*> cards_;  // by entry id
};

}  // namespace quorvel::app
