#pragma once
// The translation section of the item page: the stored English translation
// with its actions, or an offer to translate when the text looks like another
// language, or nothing. The translation itself is the model's translate
// action; the section starts it, shows its progress and failure from the
// model's published maps, and reads the result from the catalog when the
// model's changeTick moves. A change of the text refreshes the section 0.6 s
// after the last change. GUI thread only.
#include <cstdint>
#include <optional>
#include <string>

#include <QTimer>
#include <QWidget>

#include "core/models.h"
#include "core/translator.h"

class QLabel;
class QPushButton;

namespace quorvel::app {

namespace PanelStyle {
class ClampedText;
}
class AppModel;

class TranslationSection : public QWidget {
  Q_OBJECT

 public:
  enum class Shape { stored, offer, none };
  // The shape for what is known: a stored translation wins over a detected language.
  static Shape shapeFor(bool hasTranslation, bool detectedLanguage);
  // "Translated from <language> on this computer"
  static std::string translatedFrom(const std::string& languageName);
  // "This looks like <language>."
  static std::string looksLike(const std::string& languageName);
  // The notice shown when translating is asked for before the reader is installed.
  static const char* kNeedsReaderNotice;
  // The wait after the last change of the text before the section refreshes.
  static constexpr int kRefreshDelayMs = 600;

  TranslationSection(AppModel& model, std::int64_t itemId, QWidget* parent = nullptr);

  // The item's text as the page holds it (unsaved edits included). A text
  // that differs from the last one restarts the 0.6 s wait before a refresh;
  // the first text refreshes at once.
  void setText(const std::string& text);
  // Reads the stored translation, whether it is stale and the detected language.
  void refresh();

  Shape shape() const;
  const std::optional<Translation>& translation() const { return translation_; }
  const std::optional<DetectedLanguage>& detected() const { return detected_; }
  bool stale() const { return stale_; }
  bool refreshPending() const { return refreshTimer_.isActive(); }
  int refreshes() const { return refreshes_; }

 private:
  void start();
  void showShape();
  void showStatus();
  bool working() const;

  AppModel& model_;
  std::int64_t itemId_;
  std::optional<std::string> text_;
  std::optional<Translation> translation_;
  std::optional<DetectedLanguage> detected_;
  bool stale_ = false;
  QTimer refreshTimer_;
  int refreshes_ = 0;

  QWidget* storedBox_ = nullptr;
  QLabel* fromLabel_ = nullptr;
  QLabel* translationText_ = nullptr;
  QWidget* staleRow_ = nullptr;
  QPushButton* againButton_ = nullptr;
  QWidget* offerBox_ = nullptr;
  PanelStyle::ClampedText* offerText_ = nullptr;
  QPushButton* offerButton_ = nullptr;
  // The status line of each shape: progress or failure of this item's translation.
  QWidget* storedStatus_ = nullptr;
  QWidget* offerStatus_ = nullptr;
};

}  // namespace quorvel::app
