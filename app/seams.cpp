#include "app/seams.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

namespace quorvel::app {

static QString q(const std::string& text) { return QString::fromStdString(text); }

namespace {

// Qt's own file panel made to take several folders, or files and folders
// together: its confirming button takes a chosen folder instead of opening
// it, and keeps its own label for one. A double click still opens a folder.
class FilesAndFoldersDialog : public QFileDialog {
 public:
  FilesAndFoldersDialog(QWidget* parent, const QString& title, const QString& prompt, bool files)
      : QFileDialog(parent, title), files_(files) {
    setOption(QFileDialog::DontUseNativeDialog, true);
    setFileMode(QFileDialog::ExistingFiles);
    setOption(QFileDialog::ShowDirsOnly, !files);
    setLabelText(QFileDialog::Accept, prompt);
    // Qt names the button "Open" while a folder is chosen; the label comes
    // back once its own update has run.
    auto* buttons = findChild<QDialogButtonBox*>("buttonBox");
    QPushButton* accept = buttons ? buttons->button(QDialogButtonBox::Open) : nullptr;
    if (!accept) return;
    auto relabel = [accept, prompt] { accept->setText(prompt); };
    if (auto* name = findChild<QLineEdit*>("fileNameEdit"))
      connect(name, &QLineEdit::textChanged, accept, relabel, Qt::QueuedConnection);
    if (auto* list = findChild<QListView*>("listView"); list && list->selectionModel())
      connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, accept, relabel,
              Qt::QueuedConnection);
  }

  void accept() override {
    const QStringList chosen = selectedFiles();
    if (chosen.isEmpty()) return;
    for (const QString& path : chosen) {
      const QFileInfo info(path);
      if (!info.exists() || (!files_ && !info.isDir())) return;
    }
    QDialog::accept();
  }

 private:
  bool files_;
};

}  // namespace

QtPanels::QtPanels() : startFolder_(QDir::homePath()) {}

std::unique_ptr<QFileDialog> QtPanels::openDialog(const OpenRequest& request, QWidget* parent) const {
  std::unique_ptr<QFileDialog> dialog;
  if (request.folders && (request.files || request.multiple)) {
    dialog = std::make_unique<FilesAndFoldersDialog>(parent, q(request.title), q(request.prompt), request.files);
  } else {
    dialog = std::make_unique<QFileDialog>(parent, q(request.title));
    dialog->setLabelText(QFileDialog::Accept, q(request.prompt));
    if (request.folders) {
      dialog->setFileMode(QFileDialog::Directory);
      dialog->setOption(QFileDialog::ShowDirsOnly, true);
    } else {
      dialog->setFileMode(request.multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    }
  }
  if (!request.message.empty()) dialog->setWindowTitle(q(request.title + " — " + request.message));
  dialog->setDirectory(startFolder_);
  return dialog;
}

std::vector<std::string> QtPanels::open(const OpenRequest& request) {
  const std::unique_ptr<QFileDialog> dialog = openDialog(request, QApplication::activeWindow());
  std::vector<std::string> paths;
  if (dialog->exec() != QDialog::Accepted) return paths;
  for (const QString& file : dialog->selectedFiles()) paths.push_back(file.toStdString());
  if (!request.multiple && paths.size() > 1) paths.resize(1);
  if (!paths.empty()) startFolder_ = dialog->directory().absolutePath();
  return paths;
}

std::unique_ptr<QFileDialog> QtPanels::saveDialog(const std::string& title, const std::string& name,
                                                  QWidget* parent) const {
  auto dialog = std::make_unique<QFileDialog>(parent, q(title));
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setDirectory(startFolder_);
  dialog->selectFile(q(name));
  return dialog;
}

std::optional<std::string> QtPanels::save(const std::string& title, const std::string& name) {
  const std::unique_ptr<QFileDialog> dialog = saveDialog(title, name, QApplication::activeWindow());
  if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return std::nullopt;
  const QString path = dialog->selectedFiles().front();
  if (path.isEmpty()) return std::nullopt;
  startFolder_ = QFileInfo(path).absolutePath();
  return path.toStdString();
}

bool QtPanels::confirm(const std::string& title, const std::string& message,
                       const std::string& button, const std::string& cancel) {
  QMessageBox box(QMessageBox::Question, q(title), q(message), QMessageBox::NoButton,
                  QApplication::activeWindow());
  QPushButton* yes = box.addButton(q(button), QMessageBox::AcceptRole);
  QPushButton* no = box.addButton(cancel.empty() ? QObject::tr("Cancel") : q(cancel),
                                  QMessageBox::RejectRole);
  box.setDefaultButton(yes);
  box.setEscapeButton(no);
  box.exec();
  return box.clickedButton() == static_cast<QAbstractButton*>(yes);
}

void QtDesktop::openFile(const std::string& path) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(q(path)));
}

void QtDesktop::reveal(const std::string& path) {
  // The freedesktop file manager interface shows the file selected; without
  // it the folder holding the file is opened.
  QDBusMessage call = QDBusMessage::createMethodCall(
      "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
      "org.freedesktop.FileManager1", "ShowItems");
  call << QStringList{QUrl::fromLocalFile(q(path)).toString()} << QString();
  QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 2000);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(q(path)).absolutePath()));
  }
}

void QtDesktop::openFolder(const std::string& path) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(q(path)));
}

void QtDesktop::openUrl(const std::string& url) { QDesktopServices::openUrl(QUrl(q(url))); }

void QtDesktop::quit() { QApplication::quit(); }

}  // namespace quorvel::app
