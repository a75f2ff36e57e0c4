// One running program per data folder: the lock, the activation request of a
// later launch, and a lock left by a crashed program.
#include "app/single_instance.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QSignalSpy>
#include <QSysInfo>
#include <QWidget>
#include <QCoreApplication>

#include "app_test_support.h"

namespace quorvel::testing {
namespace {

using app::SingleInstance;

QString folder(const TempDir& dir, const char* name) { return QString::fromStdString(dir.file(name)); }

TEST(SingleInstance, ALaterLaunchOnTheSameFolderAsksTheFirstForItsWindow) {
  TempDir dir;
  SingleInstance first(folder(dir, "data"));
  ASSERT_TRUE(first.acquire());
  EXPECT_TRUE(QFile::exists(first.lockPath()));
  QSignalSpy activations(&first, &SingleInstance::activationRequested);

  SingleInstance second(folder(dir, "data"));
  EXPECT_FALSE(second.acquire());
  EXPECT_TRUE(second.activationSent());
  EXPECT_TRUE(waitUntil([&] { return activations.count() == 1; }));

  // Another data folder is another archive: both run.
  SingleInstance other(folder(dir, "other"));
  EXPECT_TRUE(other.acquire());
  EXPECT_NE(SingleInstance::serverName(folder(dir, "data")), SingleInstance::serverName(folder(dir, "other")));
  // Paths are compared exactly.
  EXPECT_NE(SingleInstance::serverName(folder(dir, "data")), SingleInstance::serverName(folder(dir, "data") + "/"));
}

TEST(SingleInstance, BringingTheWindowForwardKeepsItsState) {
  struct Case {
    Qt::WindowStates before, after;
  };
  for (const Case& c : std::vector<Case>{
           {Qt::WindowMaximized, Qt::WindowMaximized},
           {Qt::WindowMaximized | Qt::WindowMinimized, Qt::WindowMaximized},
           {Qt::WindowMinimized, Qt::WindowNoState},
           {Qt::WindowFullScreen | Qt::WindowMinimized, Qt::WindowFullScreen},
           {Qt::WindowNoState, Qt::WindowNoState},
       }) {
    QWidget window;
    window.resize(300, 200);
    window.show();
    window.setWindowState(c.before);
    SingleInstance::bringForward(&window);
    EXPECT_EQ(window.windowState() & ~Qt::WindowActive, c.after) << c.before.toInt();
    EXPECT_TRUE(window.isVisible());
  }
}

TEST(SingleInstance, TheFolderIsFreeAgainOnceTheFirstIsGone) {
  TempDir dir;
  {
    SingleInstance first(folder(dir, "data"));
    ASSERT_TRUE(first.acquire());
  }
  SingleInstance next(folder(dir, "data"));
  EXPECT_TRUE(next.acquire());
  // And it listens in its turn.
  QSignalSpy activations(&next, &SingleInstance::activationRequested);
  SingleInstance third(folder(dir, "data"));
  EXPECT_FALSE(third.acquire());
  EXPECT_TRUE(waitUntil([&] { return activations.count() == 1; }));
}

TEST(SingleInstance, ALockLeftByACrashedProgramDoesNotBlock) {
  TempDir dir;
  const QString data = folder(dir, "data");
  // A lock whose process is gone, as a crash leaves it.
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  writeFile((data + "/quorvel-ink.lock").toStdString(),
            std::to_string(child) + "\n" + QCoreApplication::applicationName().toStdString() + "\n" +
                QSysInfo::machineHostName().toStdString() + "\n");
  SingleInstance next(data);
  EXPECT_TRUE(next.acquire());
}

TEST(SingleInstance, WithoutAListenerTheSecondLaunchSaysTheArchiveIsOpen) {
  TempDir dir;
  const QString data = folder(dir, "data");
  // A live holder of the lock that answers no activation requests.
  QLockFile holder(data + "/quorvel-ink.lock");
  ASSERT_TRUE(QDir().mkpath(data));
  ASSERT_TRUE(holder.tryLock(0));
  SingleInstance second(data);
  EXPECT_FALSE(second.acquire());
  EXPECT_FALSE(second.activationSent());
  EXPECT_FALSE(SingleInstance::alreadyOpenText().isEmpty());
}

}  // namespace
}  // namespace quorvel::testing
