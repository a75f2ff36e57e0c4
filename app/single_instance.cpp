#include "app/single_instance.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>

namespace quorvel::app {

namespace {
constexpr char kActivate[] = "activate\n";
constexpr int kConnectMs = 1500;
}  // namespace

SingleInstance::SingleInstance(const QString& dataRoot, QObject* parent)
    : QObject(parent), dataRoot_(dataRoot) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::lockPath() const { return dataRoot_ + "/quorvel-ink.lock"; }

QString SingleInstance::serverName(const QString& dataRoot) {
  const QByteArray digest = QCryptographicHash::hash(dataRoot.toUtf8(), QCryptographicHash::Sha256);
  return QString("quorvel-ink-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest.toHex().left(24)));
}

QString SingleInstance::alreadyOpenText() {
  return "This archive is already open in Quorvel Ink. Switch to its window to go on.";
}

void SingleInstance::bringForward(QWidget* window) {
  if (!window) return;
  // Only the minimised flag goes: a maximised or full-screen window stays so.
  if (window->isMinimized()) window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
  window->show();
  window->raise();
  window->activateWindow();
}

bool SingleInstance::acquire() {
  activationSent_ = false;
  QDir().mkpath(dataRoot_);
  lock_ = std::make_unique<QLockFile>(lockPath());
  // Never stale by age: a lock is stale only when its process is gone, which
  // tryLock() finds out from the process id written in the file.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) {
    listen();
    return true;
  }
  const bool heldByAnother = lock_->error() == QLockFile::LockFailedError;
  lock_.reset();
  // A folder where no lock can be written (permissions, a full disk) does not
  // stop the program: the catalog then reports what is wrong with the folder.
  if (!heldByAnother) return true;
  QLocalSocket socket;
  socket.connectToServer(serverName(dataRoot_));
  if (socket.waitForConnected(kConnectMs)) {
    socket.write(kActivate);
    activationSent_ = socket.waitForBytesWritten(kConnectMs);
    socket.disconnectFromServer();
  }
  return false;
}

void SingleInstance::listen() {
  const QString name = serverName(dataRoot_);
  // We hold the lock: a socket file of that name is left from a crash.
  QLocalServer::removeServer(name);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(name)) return;  // later launches then say the archive is open
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        while (socket->canReadLine()) {
          if (socket->readLine() == kActivate) emit activationRequested();
        }
        // A peer that sends junk gets no more than a line's worth of buffer.
        if (socket->bytesAvailable() > 64) socket->abort();
      });
    }
  });
}

}  // namespace quorvel::app
