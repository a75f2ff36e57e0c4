// The main window: drops, the question panel's button and command, the
// start-up alert, the undo command, navigation by the model's path, the
// keepsake sheet and the one settings window.
#include <gtest/gtest.h>

#include <QAbstractScrollArea>
#include <QAction>
#include <QApplication>
#include <QDragEnterEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <set>

#include "app/app_model.h"
#include "app/ask_view.h"
#include "app/detail_view.h"
#include "app/keepsake_view.h"
#include "app/library_view.h"
#include "app/main_window.h"
#include "app/settings_view.h"
#include "app/window_list.h"
#include "app_test_support.h"
#include "core/paths.h"

using namespace quorvel;
using namespace quorvel::app;
using namespace quorvel::testing;

namespace {

std::unique_ptr<QMimeData> files(const std::vector<std::string>& paths) {
  auto data = std::make_unique<QMimeData>();
  QList<QUrl> urls;
  for (const std::string& path : paths) urls << QUrl::fromLocalFile(QString::fromStdString(path));
  data->setUrls(urls);
  return data;
}

// Sends a drag entering the widget and then, when `drop`, dropping there; true when the entry was accepted.
bool drag(QWidget* target, const QMimeData* data, bool drop) {
  const QPoint at = target->rect().center();
  QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, {});
  QApplication::sendEvent(target, &enter);
  const bool accepted = enter.isAccepted();
  if (drop && accepted) {
    QDropEvent dropped(QPointF(at), Qt::CopyAction, data, Qt::LeftButton, {});
    QApplication::sendEvent(target, &dropped);
  }
  return accepted;
}

QAction* command(MainWindow& window, const char* name) { return window.findChild<QAction*>(name); }

}  // namespace

TEST(DropPathsTest, OnlyLocalFilesInTheirOrder) {
  auto local = files({"/scans/b.png", "/scans/a.png", "/scans/box/"});
  EXPECT_EQ(droppedPaths(local.get()), (std::vector<std::string>{"/scans/b.png", "/scans/a.png", "/scans/box/"}));
  QMimeData mixed;
  mixed.setUrls({QUrl("https://example.org/a.png"), QUrl::fromLocalFile("/scans/c.png")});
  EXPECT_EQ(droppedPaths(&mixed), std::vector<std::string>{"/scans/c.png"});
  QMimeData remote;
  remote.setUrls({QUrl("https://example.org/a.png")});
  EXPECT_TRUE(droppedPaths(&remote).empty());
  QMimeData text;
  text.setText("/scans/a.png");
  EXPECT_TRUE(droppedPaths(&text).empty());
  EXPECT_TRUE(droppedPaths(nullptr).empty());
}

TEST(MainWindowTest, DropsAddFilesEvenOverTheSearchFieldAndRefusePlainText) {
  ModelFixture fixture;
  AppModel& model = fixture.make();
  MainWindow window(model);
  window.show();
  TempDir scans;
  std::vector<std::string> paths;
  for (int i = 1; i <= 3; ++i) {
    paths.push_back(scans.file("page" + std::to_string(i) + ".png"));
    writeScan(paths.back(), 60 + i);
  }

  // Plain text is not taken, and shows no overlay.
  QMimeData text;
  text.setText("hello");
  EXPECT_FALSE(drag(window.library()->grid()->viewport(), &text, false));
  EXPECT_FALSE(window.dropOverlayShown());

  // A file drag shows the overlay; leaving hides it without anything else.
  auto data = files(paths);
  auto* search = window.findChild<QLineEdit*>("searchField");
  ASSERT_TRUE(drag(search, data.get(), false));
  EXPECT_TRUE(window.dropOverlayShown());
  QDragLeaveEvent leave;
  QApplication::sendEvent(search, &leave);
  EXPECT_FALSE(window.dropOverlayShown());
  EXPECT_EQ(model.importMessage(), std::nullopt);

  // Dropped on the search field, the files go to the archive, not into the field.
  ASSERT_TRUE(drag(search, data.get(), true));
  EXPECT_FALSE(window.dropOverlayShown());
  EXPECT_TRUE(search->text().isEmpty());
  ASSERT_TRUE(waitUntil([&] { return model.items().size() == 3; }));
  std::set<std::string> added;
  for (const ArchiveItem& item : model.items()) added.insert(item.path);
  EXPECT_EQ(added, std::set<std::string>(paths.begin(), paths.end()));
}

TEST(MainWindowTest, AskButtonTogglesAndTheCommandOpens) {
  ModelFixture fixture;
  AppModel& model = fixture.make();
  MainWindow window(model);
  window.show();
  QAction* button = window.findChild<QAction*>("askButton");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->toolTip(), "Ask your letters a question (Ctrl+Shift+A)");
  EXPECT_EQ(window.askPanel(), nullptr);
  button->trigger();
  EXPECT_TRUE(model.showAsk());
  ASSERT_NE(window.askPanel(), nullptr);
  EXPECT_GE(window.askPanel()->parentWidget()->width(), 320);
  button->trigger();
  EXPECT_FALSE(model.showAsk());
  EXPECT_EQ(window.askPanel(), nullptr);

  QAction* ask = command(window, "askCommand");
  EXPECT_EQ(ask->shortcut(), QKeySequence("Ctrl+Shift+A"));
  ask->trigger();
  ask->trigger();  // sets, never toggles
  EXPECT_TRUE(model.showAsk());
  button->trigger();
  EXPECT_FALSE(model.showAsk());
}

TEST(MainWindowTest, MenuCommandsAndTheUndoCommandsState) {
  ModelFixture fixture;
  AppModel& model = fixture.make();
  MainWindow window(model);
  struct Case {
    const char* name;
    const char* text;
    const char* keys;
  } cases[] = {
      {"addScansCommand", "Add Scans\u2026", "Ctrl+O"},
      {"makeBookCommand", "Make Keepsake Book\u2026", "Ctrl+Shift+B"},
      {"askCommand", "Ask Your Letters\u2026", "Ctrl+Shift+A"},
      {"exportGedcomCommand", "Export for Family Tree Programs (GEDCOM)\u2026", ""},
      {"backUpCommand", "Back Up Archive\u2026", ""},
      {"restoreCommand", "Restore from Backup\u2026", ""},
      {"quitCommand", "Quit", "Ctrl+Q"},
      {"undoRemoveCommand", "Undo Remove from Library", ""},
      {"settingsCommand", "Settings\u2026", "Ctrl+,"},
  };
  for (const Case& c : cases) {
    QAction* action = command(window, c.name);
    ASSERT_NE(action, nullptr) << c.name;
    EXPECT_EQ(action->text(), c.text);
    EXPECT_EQ(action->shortcut(), QKeySequence(c.keys)) << c.name;
  }
  command(window, "quitCommand")->trigger();
  EXPECT_EQ(fixture.desktop.quits, 1);
  command(window, "addScansCommand")->trigger();
  EXPECT_EQ(fixture.panels.openRequests.size(), 1u);

  QAction* undo = command(window, "undoRemoveCommand");
  EXPECT_FALSE(undo->isEnabled());
  TempDir scans;
  writeScan(scans.file("a.png"));
  model.importPaths({scans.path()});
  ASSERT_TRUE(waitUntil([&] { return model.items().size() == 1; }));
  model.remove({model.items()[0].id});
  EXPECT_TRUE(undo->isEnabled());
  undo->trigger();
  EXPECT_FALSE(undo->isEnabled());
  ASSERT_TRUE(waitUntil([&] { return model.items().size() == 1; }));
}

TEST(MainWindowTest, PathShowsAFreshDetailPageAndEmptyingItTheLibrary) {
  ModelFixture fixture;
  AppModel& model = fixture.make();
  MainWindow window(model);
  window.show();
  auto* pages = window.findChild<QStackedWidget*>("pages");
  EXPECT_EQ(pages->currentWidget(), window.library());
  EXPECT_FALSE(window.findChild<QAction*>("backAction")->isVisible());

  model.setPath({41});
  ASSERT_NE(window.detail(), nullptr);
  EXPECT_EQ(window.detail()->itemId(), 41);
  EXPECT_EQ(pages->currentWidget(), window.detail());
  EXPECT_FALSE(window.library()->addScansAction()->isVisible());
  QPointer<DetailView> first = window.detail();

  model.setPath({41, 42});
  ASSERT_NE(window.detail(), nullptr);
  EXPECT_EQ(window.detail()->itemId(), 42);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(first.isNull());  // replaced, not reused

  window.findChild<QAction*>("backAction")->trigger();
  EXPECT_EQ(model.path(), std::vector<std::int64_t>{41});
  EXPECT_EQ(window.detail()->itemId(), 41);
  model.setPath({});
  EXPECT_EQ(window.detail(), nullptr);
  EXPECT_EQ(pages->currentWidget(), window.library());
}

TEST(MainWindowTest, SearchFieldIsBoundToTheSearchText) {
  ModelFixture fixture;
  AppModel& model = fixture.make();
  MainWindow window(model);
  auto* search = window.findChild<QLineEdit*>("searchField");
  EXPECT_EQ(search->placeholderText(), "Names, places, words in a letter, or a year");
  QTest::keyClicks(search, "anna");
  EXPECT_EQ(model.searchText(), "anna");
  model.setSearchText("");
  EXPECT_TRUE(search->text().isEmpty());
}

TEST(MainWindowTest, KeepsakeSheetFollowsShowBook) {
  ModelFixture fixture;
  AppModel& model = fixture.make();
  MainWindow window(model);
  window.show();
  model.setShowBook(true);
  ASSERT_NE(window.keepsakeSheet(), nullptr);
  EXPECT_TRUE(window.keepsakeSheet()->isVisible());
  EXPECT_EQ(window.keepsakeSheet()->windowModality(), Qt::WindowModal);
  window.keepsakeSheet()->reject();
  EXPECT_FALSE(model.showBook());
  pump(20);
  EXPECT_EQ(window.keepsakeSheet(), nullptr);
  model.setShowBook(true);
  ASSERT_NE(window.keepsakeSheet(), nullptr);
  model.setShowBook(false);
  pump(20);
  EXPECT_EQ(window.keepsakeSheet(), nullptr);
}

TEST(MainWindowTest, OneSettingsWindowRegisteredAfterTheMainWindow) {
  ModelFixture fixture;
  AppModel& model = fixture.make();
  MainWindow window(model);
  window.show();
  EXPECT_EQ(window.settingsWindow(), nullptr);
  command(window, "settingsCommand")->trigger();
  SettingsView* settings = window.settingsWindow();
  ASSERT_NE(settings, nullptr);
  EXPECT_TRUE(settings->isVisible());
  EXPECT_TRUE(settings->isWindow());
  EXPECT_FALSE(settings->isModal());
  window.openSettings();
  EXPECT_EQ(window.settingsWindow(), settings);
  const auto windows = WindowList::all();
  auto main = std::find(windows.begin(), windows.end(), QPointer<QWidget>(&window));
  auto second = std::find(windows.begin(), windows.end(), QPointer<QWidget>(settings));
  ASSERT_NE(main, windows.end());
  ASSERT_NE(second, windows.end());
  EXPECT_EQ(second - main, 1);
}

TEST(MainWindowStartupTest, AlertShowsTheStartupErrorAndOkClearsIt) {
  ModelFixture fixture;
  writeFile(QuorvelPaths::catalogFile(), std::string(8192, 'x'));
  AppModel& model = fixture.make();
  ASSERT_TRUE(model.startupError().has_value());
  const std::string error = *model.startupError();
  MainWindow window(model);
  window.show();
  auto* alert = window.findChild<QMessageBox*>("startupAlert");
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->windowTitle(), "Couldn't open your archive");
  EXPECT_EQ(alert->text().toStdString(), error);
  alert->button(QMessageBox::Ok)->click();
  EXPECT_FALSE(model.startupError().has_value());
  pump(20);
  EXPECT_EQ(window.findChild<QMessageBox*>("startupAlert"), nullptr);
}

TEST(MainWindowStartupTest, NoErrorNoAlert) {
  ModelFixture fixture;
  AppModel& model = fixture.make();
  MainWindow window(model);
  window.show();
  EXPECT_EQ(window.findChild<QMessageBox*>("startupAlert"), nullptr);
  EXPECT_EQ(window.windowTitle(), "Quorvel Ink");
  EXPECT_EQ(window.size(), QSize(1240, 800));
  EXPECT_EQ(window.minimumSize(), QSize(940, 600));
}

// ---- Nothing cut off ----

namespace {

// The visible widgets that reach past the left or right edge of their parent,
// or that are narrower than they can be drawn in, inside `root`; content that
// scrolls sideways is not cut.
void cutOff(QWidget* parent, const QString& at, QStringList& found) {
  for (QObject* object : parent->children()) {
    auto* child = qobject_cast<QWidget*>(object);
    if (!child || child->isWindow() || !child->isVisible()) continue;
    const QString name = at + "/" + (child->objectName().isEmpty() ? child->metaObject()->className()
                                                                      : child->objectName());
    if (child->x() < 0 || child->x() + child->width() > parent->width()) {
      found << QString("%1 (x %2, width %3 in %4)").arg(name).arg(child->x()).arg(child->width()).arg(parent->width());
    }
    // The least width a layout gives it: its own minimum when one is set, else its hint's.
    const int least = child->minimumWidth() > 0 ? child->minimumWidth()
                      : child->sizePolicy().horizontalPolicy() == QSizePolicy::Ignored ? 0
                                                                                       : child->minimumSizeHint().width();
    if (child->width() < least) {
      found << QString("%1 (width %2, needs %3)").arg(name).arg(child->width()).arg(least);
    }
    auto* area = qobject_cast<QAbstractScrollArea*>(child->parentWidget() ? child->parentWidget()->parentWidget() : nullptr);
    if (area && area->viewport() == parent && area->horizontalScrollBarPolicy() != Qt::ScrollBarAlwaysOff) continue;
    // The parts of a text field are Qt's own.
    if (qobject_cast<QLineEdit*>(child)) continue;
    cutOff(child, name, found);
  }
}

std::string cutOff(QWidget* root) {
  QStringList found;
  cutOff(root, QString(), found);
  return found.join("\n").toStdString();
}

}  // namespace

TEST(MainWindowTest, NothingOnTheItemPageIsCutOffAtAnySizeTheWindowAllows) {
  ModelFixture fixture;
  AppModel& model = fixture.make();
  TempDir scans;
  writeScan(scans.file("1922-12-20 letter from Hannover to Chicago.png"), 900, 1200);
  writeScan(scans.file("1923 letter.png"), 901, 1200);
  model.importPaths({scans.path()});
  ASSERT_TRUE(waitUntil([&] { return model.stats().transcribed == 2; }));
  Catalog& catalog = model.catalog();
  const std::int64_t german = catalog.findByPath(scans.file("1922-12-20 letter from Hannover to Chicago.png"))->id;
  const std::int64_t translated = catalog.findByPath(scans.file("1923 letter.png"))->id;
  // The longest status line, a date whose source is long, chips and a language offer.
  catalog.saveRecognizedText(german,
                             "Lieber Carl, wir sind alle gesund und denken jeden Tag an dich. Die Ernte war gut, "
                             "und die Bäckerei hat vor Weihnachten viel zu tun. Mutter lässt dich herzlich grüßen.",
                             "handwriting-reader", 0.9, R"([{"Chosen":"Ernte","Alternative":"Emte"}])");
  catalog.addDate(german, "1922-12-20", "found in the text of the letter and again in its file name", false);
  catalog.tagPerson(german, catalog.ensurePerson("Anna Brandt"));
  // A stored translation made from another text: its heading, stale line and actions.
  Translation english;
  english.itemId = translated;
  english.language = "de";
  english.languageName = "German";
  english.text = "Dear Carl, we are all well and think of you every day.";
  english.engine = "reader";
  english.sourceHash = "another text";
  catalog.saveTranslation(english);

  MainWindow window(model);
  window.show();
  model.setShowAsk(true);
  for (const QSize size : {window.minimumSize(), QSize(1240, 800), QSize(1920, 1080)}) {
    window.resize(size);
    for (const std::int64_t id : {german, translated}) {
      model.setPath({id});
      ASSERT_TRUE(waitUntil([&] { return window.detail() && window.detail()->item(); }));
      pump(300);
      EXPECT_EQ(cutOff(&window), "") << size.width() << "x" << size.height() << ", item " << id;
    }
  }
}
