#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QIcon>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolBar>
#include <QVBoxLayout>

#include "app/app_model.h"
#include "app/ask_view.h"
#include "app/components.h"
#include "app/detail_view.h"
#include "app/keepsake_view.h"
#include "app/library_view.h"
#include "app/screenshot_mode.h"
#include "app/settings_view.h"
#include "app/sidebar.h"
#include "app/window_list.h"

namespace quorvel::app {

void setUpIcons() {
  QStringList paths = QIcon::themeSearchPaths();
  QStringList dataDirs = qEnvironmentVariable("XDG_DATA_DIRS").split(QLatin1Char(':'), Qt::SkipEmptyParts);
  if (dataDirs.isEmpty()) dataDirs = {"/usr/local/share", "/usr/share"};
  QString home = qEnvironmentVariable("XDG_DATA_HOME");
  if (home.isEmpty()) home = QDir::homePath() + "/.local/share";
  dataDirs.prepend(home);
  for (const QString& dir : dataDirs) {
    const QString icons = dir + "/icons";
    if (!paths.contains(icons) && QDir(icons).exists()) paths << icons;
  }
  QIcon::setThemeSearchPaths(paths);
  if (QIcon::themeName().isEmpty() || QIcon::themeName() == "hicolor") QIcon::setThemeName("Adwaita");
  QIcon::setFallbackThemeName("Adwaita");
}

std::vector<std::string> droppedPaths(const QMimeData* data) {
  std::vector<std::string> paths;
  if (!data || !data->hasUrls()) return paths;
  for (const QUrl& url : data->urls()) {
    if (!url.isLocalFile()) continue;
    const QString path = url.toLocalFile();
    if (!path.isEmpty()) paths.push_back(path.toStdString());
  }
  return paths;
}

namespace {

// The dashed frame over the window while files are dragged over it; it lets
// every mouse event through to the window beneath.
class DropOverlay : public QWidget {
 public:
  explicit DropOverlay(QWidget* parent) : QWidget(parent) {
    setObjectName("dropOverlay");
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    hide();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    QColor fill = Palette::airBlue();
    fill.setAlphaF(0.08f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(frame, 16, 16);
    QPen pen(Palette::airBlue(), 3, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setDashPattern({10.0 / 3.0, 6.0 / 3.0});  // in pen widths: 10 on, 6 off
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(frame, 16, 16);

    QFont font = this->font();
    font.setPointSizeF(font.pointSizeF() * 1.35);
    font.setWeight(QFont::DemiBold);
    painter.setFont(font);
    const QString text = QStringLiteral("Drop to add to your archive");
    const QFontMetrics metrics(font);
    const int icon = metrics.height();
    const int width = icon + 8 + metrics.horizontalAdvance(text);
    const QPoint start(rect().center().x() - width / 2, rect().center().y() - icon / 2);
    QIcon::fromTheme("folder-download-symbolic").paint(&painter, QRect(start, QSize(icon, icon)));
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QRect(start.x() + icon + 8, start.y(), width, icon), Qt::AlignLeft | Qt::AlignVCenter, text);
  }
};

void tint(QWidget* widget) {
  QPalette colours = widget->palette();
  colours.setColor(QPalette::Highlight, Palette::airBlue());
  colours.setColor(QPalette::Link, Palette::airBlue());
  widget->setPalette(colours);
}

}  // namespace

MainWindow::MainWindow(AppModel& model, QWidget* parent) : QMainWindow(parent), model_(model) {
  WindowList::add(this);
  setObjectName("mainWindow");
  setWindowTitle("Quorvel Ink");
  resize(1240, 800);
  setMinimumSize(940, 600);
  tint(this);
  setAcceptDrops(true);

  split_ = new QSplitter(Qt::Horizontal, this);
  split_->setObjectName("mainSplit");
  split_->setChildrenCollapsible(false);
  sidebar_ = new SidebarView(model_, split_);
  sidebar_->setMinimumWidth(190);
  sidebar_->setMaximumWidth(300);
  pages_ = new QStackedWidget(split_);
  pages_->setObjectName("pages");
  library_ = new LibraryView(model_, pages_);
  pages_->addWidget(library_);
  askColumn_ = new QWidget(split_);
  askColumn_->setObjectName("askColumn");
  askColumn_->setMinimumWidth(320);
  askColumn_->setMaximumWidth(520);
  auto* askLayout = new QVBoxLayout(askColumn_);
  askLayout->setContentsMargins(0, 0, 0, 0);
  askColumn_->hide();
  split_->addWidget(sidebar_);
  split_->addWidget(pages_);
  split_->addWidget(askColumn_);
  split_->setStretchFactor(0, 0);
  split_->setStretchFactor(1, 1);
  split_->setStretchFactor(2, 0);
  split_->setSizes({220, 1020, 0});
  setCentralWidget(split_);

  overlay_ = new DropOverlay(this);

  buildToolbar();
  buildMenus();

  connect(&model_, &AppModel::pathChanged, this, &MainWindow::followPath);
  connect(&model_, &AppModel::showAskChanged, this, &MainWindow::followAsk);
  connect(&model_, &AppModel::showBookChanged, this, &MainWindow::followBook);
  connect(&model_, &AppModel::startupErrorChanged, this, &MainWindow::followStartupError);
  connect(&model_, &AppModel::searchTextChanged, this, &MainWindow::followSearchText);
  connect(&model_, &AppModel::lastRemovedChanged, this,
          [this] { undoRemove_->setEnabled(!model_.lastRemoved().empty()); });
  connect(qApp, &QCoreApplication::aboutToQuit, this, &MainWindow::saveOpenPage);
  qApp->installEventFilter(this);

  followPath();
  followAsk();
  followBook();
  followSearchText();
}

MainWindow::~MainWindow() {
  qApp->removeEventFilter(this);
  saveOpenPage();
  delete settings_;
}

void MainWindow::buildToolbar() {
  QToolBar* bar = addToolBar("Toolbar");
  bar->setObjectName("mainToolbar");
  bar->setMovable(false);
  bar->setFloatable(false);
  bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  bar->setIconSize(QSize(16, 16));
  bar->toggleViewAction()->setVisible(false);

  back_ = bar->addAction(QIcon::fromTheme("go-previous-symbolic"), "Back");
  back_->setObjectName("backAction");
  back_->setToolTip("Back to the library");
  connect(back_, &QAction::triggered, this, [this] {
    std::vector<std::int64_t> path = model_.path();
    if (!path.empty()) path.pop_back();
    model_.setPath(path);
  });
  auto* spacer = new QWidget(bar);
  spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  bar->addWidget(spacer);
  libraryActions_ = {library_->makeBookAction(), library_->addScansAction()};
  for (QAction* action : libraryActions_) bar->addAction(action);
  bar->addSeparator();

  search_ = new QLineEdit(bar);
  search_->setObjectName("searchField");
  search_->setPlaceholderText("Names, places, words in a letter, or a year");
  search_->setClearButtonEnabled(true);
  search_->addAction(QIcon::fromTheme("system-search-symbolic"), QLineEdit::LeadingPosition);
  search_->setMinimumWidth(300);
  search_->setMaximumWidth(360);
  bar->addWidget(search_);
  connect(search_, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (text.toStdString() != model_.searchText()) model_.setSearchText(text.toStdString());
  });

  askButton_ = bar->addAction(QIcon::fromTheme("dialog-question-symbolic"), "Ask");
  askButton_->setObjectName("askButton");
  askButton_->setToolTip("Ask your letters a question (Ctrl+Shift+A)");
  askButton_->setCheckable(true);
  connect(askButton_, &QAction::triggered, this, [this] { model_.setShowAsk(!model_.showAsk()); });
  // The buttons behind the actions carry the same names, for tests and accessibility.
  for (QAction* action : {back_, askButton_, library_->makeBookAction(), library_->addScansAction()}) {
    if (QWidget* button = bar->widgetForAction(action)) button->setObjectName(action->objectName() + "Button");
  }
}

void MainWindow::buildMenus() {
  QMenu* file = menuBar()->addMenu("&File");
  auto add = [this](QMenu* menu, const QString& name, const QString& title, const QKeySequence& keys,
                    std::function<void()> action) {
    QAction* item = menu->addAction(title);
    item->setObjectName(name);
    if (!keys.isEmpty()) item->setShortcut(keys);
    connect(item, &QAction::triggered, this, [action = std::move(action)] { action(); });
    return item;
  };
  add(file, "addScansCommand", "Add Scans\u2026", QKeySequence("Ctrl+O"), [this] { model_.pickAndImport(); });
  file->addSeparator();
  add(file, "makeBookCommand", "Make Keepsake Book\u2026", QKeySequence("Ctrl+Shift+B"),
      [this] { model_.makeBook(); });
  add(file, "askCommand", "Ask Your Letters\u2026", QKeySequence("Ctrl+Shift+A"), [this] { model_.setShowAsk(true); });
  add(file, "exportGedcomCommand", "Export for Family Tree Programs (GEDCOM)\u2026", QKeySequence(),
      [this] { model_.exportGedcom(); });
  add(file, "backUpCommand", "Back Up Archive\u2026", QKeySequence(), [this] { model_.backUpNow(); });
  add(file, "restoreCommand", "Restore from Backup\u2026", QKeySequence(), [this] { model_.restoreFromBackup(); });
  file->addSeparator();
  QAction* quit = add(file, "quitCommand", "Quit", QKeySequence("Ctrl+Q"), [this] { model_.desktop().quit(); });
  quit->setShortcutContext(Qt::ApplicationShortcut);

  QMenu* edit = menuBar()->addMenu("&Edit");
  undoRemove_ = add(edit, "undoRemoveCommand", "Undo Remove from Library", QKeySequence(),
                    [this] { model_.undoRemove(); });
  undoRemove_->setEnabled(!model_.lastRemoved().empty());
  edit->addSeparator();
  QAction* settings = add(edit, "settingsCommand", "Settings\u2026", QKeySequence("Ctrl+,"), [this] { openSettings(); });
  settings->setShortcutContext(Qt::ApplicationShortcut);
}

void MainWindow::openSettings() {
  if (!settings_) {
    settings_ = new SettingsView(model_, nullptr);  // a window of its own, named and sized
    tint(settings_);
    WindowList::add(settings_);
  }
  settings_->show();
  settings_->raise();
  settings_->activateWindow();
}

void MainWindow::saveOpenPage() {
  if (detail_) detail_->saveNow();
}

bool MainWindow::dropOverlayShown() const { return overlay_->isVisible(); }

void MainWindow::showOverlay(bool shown) {
  if (shown) {
    overlay_->setGeometry(rect().adjusted(24, 24, -24, -24));
    overlay_->raise();
    overlay_->show();
  } else {
    overlay_->hide();
  }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::DragLeave && type != QEvent::Drop)
    return QMainWindow::eventFilter(watched, event);
  auto* widget = qobject_cast<QWidget*>(watched);
  if (!widget || widget->window() != this) return QMainWindow::eventFilter(watched, event);
  if (type == QEvent::DragLeave) {
    showOverlay(false);
    return QMainWindow::eventFilter(watched, event);
  }
  // Drags of local files belong to the window, whichever control is under
  // the pointer (a text field would take the file's address as text).
  auto* drag = static_cast<QDropEvent*>(event);
  const std::vector<std::string> paths = droppedPaths(drag->mimeData());
  if (paths.empty()) return QMainWindow::eventFilter(watched, event);
  drag->setDropAction(Qt::CopyAction);
  drag->accept();
  if (type == QEvent::Drop) {
    showOverlay(false);
    model_.importPaths(paths);
  } else {
    showOverlay(true);
  }
  return true;
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shownOnce_) return;
  shownOnce_ = true;
  followStartupError();
  Snapshotter::runIfAsked(model_, [this] { openSettings(); });
}

void MainWindow::closeEvent(QCloseEvent* event) {
  saveOpenPage();
  if (settings_) settings_->close();
  QMainWindow::closeEvent(event);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (overlay_->isVisible()) overlay_->setGeometry(rect().adjusted(24, 24, -24, -24));
}

void MainWindow::followPath() {
  const std::vector<std::int64_t>& path = model_.path();
  const std::optional<std::int64_t> last = path.empty() ? std::nullopt : std::optional(path.back());
  if (detail_ && (!last || detail_->itemId() != *last)) {
    // A different scan gets a fresh page; the old one stores its edits first.
    detail_->saveNow();
    pages_->removeWidget(detail_);
    detail_->hide();
    detail_->deleteLater();
    detail_ = nullptr;
  }
  if (last && !detail_) {
    detail_ = new DetailView(model_, *last, pages_);
    detail_->setObjectName("detailView");
    pages_->addWidget(detail_);
  }
  pages_->setCurrentWidget(detail_ ? static_cast<QWidget*>(detail_) : library_);
  back_->setVisible(last.has_value());
  for (QAction* action : libraryActions_) action->setVisible(!last.has_value());
}

void MainWindow::followAsk() {
  const bool show = model_.showAsk();
  askButton_->setChecked(show);
  if (show && !ask_) {
    // A fresh panel each time it opens, with an empty question.
    ask_ = new AskPanel(model_, askColumn_);
    ask_->setObjectName("askPanel");
    askColumn_->layout()->addWidget(ask_);
    askColumn_->show();
    QList<int> sizes = split_->sizes();
    const int total = sizes[0] + sizes[1] + sizes[2];
    split_->setSizes({sizes[0], std::max(1, total - sizes[0] - 380), 380});
  } else if (!show && ask_) {
    ask_->hide();
    ask_->deleteLater();
    ask_ = nullptr;
    askColumn_->hide();
  }
}

void MainWindow::followBook() {
  if (model_.showBook() && !book_) {
    book_ = new KeepsakeView(model_, this);
    book_->setObjectName("keepsakeSheet");
    book_->setWindowModality(Qt::WindowModal);
    book_->setAttribute(Qt::WA_DeleteOnClose);
    connect(book_, &QDialog::finished, this, [this] { model_.setShowBook(false); });
    WindowList::add(book_);
    book_->open();
  } else if (!model_.showBook() && book_) {
    book_->close();
  }
}

void MainWindow::followStartupError() {
  if (!isVisible()) return;  // the alert comes up over the shown window
  const std::optional<std::string>& error = model_.startupError();
  if (alert_) {
    alert_->setText(QString::fromStdString(error.value_or(std::string())));
    return;
  }
  if (!error) return;
  alert_ = new QMessageBox(QMessageBox::Warning, "Couldn't open your archive", QString::fromStdString(*error),
                           QMessageBox::Ok, this);
  alert_->setObjectName("startupAlert");
  alert_->setWindowModality(Qt::WindowModal);
  alert_->setAttribute(Qt::WA_DeleteOnClose);
  connect(alert_, &QMessageBox::finished, this, [this] { model_.clearStartupError(); });
  alert_->open();
}

void MainWindow::followSearchText() {
  const QString text = QString::fromStdString(model_.searchText());
  if (search_->text() != text) search_->setText(text);
}

}  // namespace quorvel::app
