#pragma once
// One running program per data folder. The first launch takes the lock file
// <data folder>/quorvel-ink.lock and listens on a local socket named after
// the data folder; a later launch on the same folder finds the lock held,
// asks the running program over the socket to bring its window forward, and
// ends. A lock left by a program that crashed (its process is gone) is taken
// over. GUI thread only.
#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;
class QWidget;

namespace quorvel::app {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  explicit SingleInstance(const QString& dataRoot, QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when this process now owns the data folder (lock taken, listening
  // for activation requests); the lock is held until this object is gone.
  // False when another program holds it: an activation request has then been
  // sent when activationSent() is true.
  bool acquire();
  // After a false acquire(): whether the running program got the request.
  bool activationSent() const { return activationSent_; }

  // The lock file of the data folder.
  QString lockPath() const;
  // The local socket's name for a data folder: the same folder (compared
  // exactly) gives the same name, for this user only.
  static QString serverName(const QString& dataRoot);
  // What a second launch says when the running program could not be reached.
  static QString alreadyOpenText();
  // Shows the window, un-minimised but otherwise in the state it had (maximised
  // stays maximised), above the others, with the focus.
  static void bringForward(QWidget* window);

 signals:
  // A later launch on the same data folder asked for the window.
  void activationRequested();

 private:
  void listen();

  QString dataRoot_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer* server_ = nullptr;  // owned by this object
  bool activationSent_ = false;
};

}  // namespace quorvel::app
