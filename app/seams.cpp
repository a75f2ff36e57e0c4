#include "app/seams.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

namespace quorvel::app {

static QString q(const std::string& text) { return QString::fromStdString(text); }

std::vector<std::string> QtPanels::open(const OpenRequest& request) {
  QFileDialog dialog(QApplication::activeWindow(), q(request.title));
  dialog.setLabelText(QFileDialog::Accept, q(request.prompt));
  dialog.setOption(QFileDialog::DontUseNativeDialog, request.files && request.folders);
  if (!request.message.empty()) dialog.setWindowTitle(q(request.title + " — " + request.message));
  if (request.folders && !request.files) {
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
  } else if (request.multiple) {
    dialog.setFileMode(QFileDialog::ExistingFiles);
  } else {
    dialog.setFileMode(QFileDialog::ExistingFile);
  }
  std::vector<std::string> paths;
  if (dialog.exec() != QDialog::Accepted) return paths;
  for (const QString& file : dialog.selectedFiles()) paths.push_back(file.toStdString());
  if (!request.multiple && paths.size() > 1) paths.resize(1);
  return paths;
}

std::optional<std::string> QtPanels::save(const std::string& title, const std::string& name) {
  const QString path = QFileDialog::getSaveFileName(QApplication::activeWindow(), q(title), q(name));
  if (path.isEmpty()) return std::nullopt;
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
