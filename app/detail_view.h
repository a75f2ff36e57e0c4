#pragma once
// The page of one scan: the scan with zoom beside its text, title, kind,
// people, dates, uncertain words, notes and translation. Made fresh for each
// item id; what is typed is stored in the catalog as it is typed.
//
// Thread: GUI thread only. The scan is decoded on a worker (ScanPane); every
// catalog call is made here, on the GUI thread.
//
// Saving: the transcription and the notes are written 0.8 s after the last
// keystroke (one single-shot timer restarted by each edit), the title when
// Return is pressed, the kind when one is picked, and everything still unsaved
// by saveNow(): before a reading is queued, before a PDF export or a removal,
// when the page is hidden and when it is destroyed. A reload on every change
// of the model's changeTick never overwrites unsaved edits.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "core/models.h"

class QBoxLayout;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QProgressBar;
class QVBoxLayout;
class QHBoxLayout;
class QToolButton;

namespace quorvel::app {

namespace PanelStyle {
class ClampedText;
}
class AppModel;
class ScanPane;
class TranslationSection;
class FlowLayout;

// The page's rules that need no widget, for the views and the tests.
namespace DetailText {
// "Scan" while no item is loaded, else the item's display title.
std::string title(const std::optional<ArchiveItem>& item);
// "<kind label> · <file name>", or "" while no item is loaded.
std::string subtitle(const std::optional<ArchiveItem>& item);
// How the text came to be: "", "Reading…", "Couldn't be read", "Edited by
// you", "Read by the handwriting reader", "No text found", "Read automatically".
std::string statusLine(const std::optional<ArchiveItem>& item, bool corrected,
                       const std::string& engine, const std::string& text);
// The hint under the reading buttons while the item is neither read nor
// waiting; "" for none.
std::string readingHint(bool corrected, const std::string& text,
                        const std::optional<std::string>& estimate);
// "5100 × 6600 · 12.4 MB": the stored pixel size and the file size.
std::string facts(const ArchiveItem& item);
// A byte count as a file size: "Zero KB", "1 byte", "999 bytes", "12 KB",
// "12.4 MB", "1.23 GB" (units of 1000).
std::string fileSize(std::int64_t bytes);
// The description of a scan that is not where the catalog says.
std::string missingDescription(const std::string& path);
// The description of a scan whose file is there but gives no picture (empty,
// damaged, not a picture, too large to decode).
std::string unreadableDescription(const std::string& path);
// "<chosen> or <alternative>?"
std::string uncertainChip(const UncertainWord& word);
// The uncertain words left after dismissing `word` (every equal pair goes).
std::vector<UncertainWord> dismissing(const std::vector<UncertainWord>& words,
                                      const UncertainWord& word);
// The stored form of a list of uncertain words: "" for none, else the JSON array.
std::string storedUncertain(const std::vector<UncertainWord>& words);
// The width of the editor column for a page of the given width: 0.44 of it,
// kept between 300 and 560.
int editorWidth(int pageWidth);
// The header's left and right margins together (14 and 10), and the least
// room its title keeps beside the toolbar.
constexpr int kHeaderMargins = 24;
constexpr int kTitleRoom = 200;
// Whether the header's buttons stand beside the title (else on a line of
// their own under it): when they still leave the title its room.
bool toolbarBesideTitle(int pageWidth, int toolbarWidth);
}  // namespace DetailText

class DetailView : public QWidget {
  Q_OBJECT

 public:
  DetailView(AppModel& model, std::int64_t itemId, QWidget* parent = nullptr);
  // Saves what is still unsaved (saveNow()), unless the model is gone already.
  ~DetailView() override;
  std::int64_t itemId() const { return itemId_; }
  // Stores unsaved edits at once; called before the page is closed or replaced.
  // Writes nothing once the item is gone from the catalog.
  void saveNow();

  // The page's title and subtitle (DetailText::title, DetailText::subtitle).
  QString pageTitle() const;
  QString pageSubtitle() const;
  // The item as last loaded or written; none while the catalog has no row for the id.
  const std::optional<ArchiveItem>& item() const { return item_; }
  ScanPane* scanPane() const { return scanPane_; }
  TranslationSection* translationSection() const { return translation_; }
  // True while the transcription shown differs from the one last loaded or stored.
  bool hasUnsavedText() const { return text_ != savedText_; }

 signals:
  // The title or subtitle changed.
  void headerChanged();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  // Load and save (detail_view.cpp).
  void load(bool keepText);
  void scheduleSave();
  void saveFacts();
  void setKind(ItemKind kind);
  void refreshLists();
  void updateHeader();

  // Layout pieces (detail_view.cpp, detail_view_editor.cpp, detail_view_sections.cpp).
  QWidget* buildToolbar();
  QWidget* buildEditorPane();
  QWidget* buildTitleSection();
  QWidget* buildHighlight();
  QWidget* buildTranscriptionSection();
  QWidget* buildUncertainSection();
  QWidget* buildPeopleSection();
  QWidget* buildDatesSection();
  QWidget* buildNotesSection();

  // Editor pane state shown (detail_view_editor.cpp).
  void showEditorState();
  void showHighlight();
  // The reading row or hint; a keystroke passes false and keeps the estimate
  // last asked of the reader.
  void showReadingState(bool askEstimate = true);
  void updateReadButtonLabels();
  void readHandwriting();
  void readPrintedAgain();
  std::optional<std::string> estimate() const;

  // Sections (detail_view_sections.cpp).
  void showUncertain();
  void showPeople();
  void showDates();
  void dismissUncertain(const UncertainWord& word);
  void addPerson();
  void removePerson(std::int64_t personId);
  void addDate();
  void toggleDate(const ItemDate& date);
  void deleteDate(std::int64_t dateId);

  AppModel& model_;
  QPointer<AppModel> modelAlive_;  // null once the model is gone
  std::int64_t itemId_;

  // The page's state.
  std::optional<ArchiveItem> item_;
  std::string text_;       // the transcription as shown in the editor
  std::string savedText_;  // the transcription as last loaded or stored
  std::string title_;
  std::string notes_;
  std::string engine_;
  bool corrected_ = false;
  std::vector<Person> people_;
  std::vector<ItemDate> dates_;
  std::vector<UncertainWord> uncertain_;
  bool missing_ = false;
  bool decodeStarted_ = false;
  std::optional<std::string> estimate_;
  std::optional<std::vector<std::int64_t>> offerDownloadFor_;
  QTimer saveTimer_;
  bool settingText_ = false;  // the editors are being filled from the state

  // Widgets.
  QBoxLayout* header_ = nullptr;
  QWidget* toolbar_ = nullptr;
  int toolbarWidth_ = 0;
  PanelStyle::ClampedText* titleLabel_ = nullptr;
  PanelStyle::ClampedText* subtitleLabel_ = nullptr;
  QToolButton* favoriteButton_ = nullptr;
  ScanPane* scanPane_ = nullptr;
  QWidget* editorColumn_ = nullptr;
  QLineEdit* titleField_ = nullptr;
  QComboBox* kindPicker_ = nullptr;
  QWidget* highlight_ = nullptr;
  QLabel* highlightQuote_ = nullptr;
  QLabel* statusLabel_ = nullptr;
  QPlainTextEdit* textEditor_ = nullptr;
  QWidget* readButtons_ = nullptr;
  QPushButton* readAgainButton_ = nullptr;
  QPushButton* handwritingButton_ = nullptr;
  QPushButton* copyButton_ = nullptr;
  int fullButtonsWidth_ = 0;
  QWidget* currentRow_ = nullptr;
  QProgressBar* readingProgress_ = nullptr;
  QProgressBar* readingSpinner_ = nullptr;
  QLabel* readingMessage_ = nullptr;
  QWidget* waitingRow_ = nullptr;
  QLabel* hintLabel_ = nullptr;
  TranslationSection* translation_ = nullptr;
  QWidget* uncertainSection_ = nullptr;
  FlowLayout* uncertainFlow_ = nullptr;
  std::vector<UncertainWord> uncertainShown_;
  FlowLayout* peopleFlow_ = nullptr;
  std::optional<std::vector<Person>> peopleShown_;
  QLineEdit* personField_ = nullptr;
  QVBoxLayout* dateRows_ = nullptr;
  std::optional<std::vector<ItemDate>> datesShown_;
  QLineEdit* dateField_ = nullptr;
  QPlainTextEdit* notesEditor_ = nullptr;
};

}  // namespace quorvel::app
