// The program: sets up the libraries once, makes the one application model
// and shows the main window on it.
#include <QApplication>
#include <QMessageBox>
#include <memory>

#include "app/app_icon.h"
#include "app/app_model.h"
#include "app/main_window.h"
#include "app/single_instance.h"
#include "core/curl_support.h"
#include "core/image_tools.h"
#include "core/ocr.h"
#include "core/paths.h"

int main(int argc, char** argv) {
  // First of all: this may start the program again with the setting it needs.
  quorvel::ensureSingleThreadedRecognition(argv);
  quorvel::ImageTools::ensureStarted();
  quorvel::curl::initOnce();

  QApplication application(argc, argv);
  QApplication::setOrganizationName("Quorvel");
  QApplication::setApplicationName("Quorvel Ink");
  QApplication::setApplicationVersion(QString::fromStdString(quorvel::app::AppModel::version()));
  QApplication::setDesktopFileName("quorvel-ink");
  quorvel::app::setUpIcons();
  QApplication::setWindowIcon(quorvel::app::appIcon());
  quorvel::app::AppModel::quitOnSignals();

  // One program per data folder: a second launch brings the first forward.
  quorvel::app::SingleInstance instance(QString::fromStdString(quorvel::QuorvelPaths::dataRoot()));
  if (!instance.acquire()) {
    if (!instance.activationSent()) {
      QMessageBox::information(nullptr, "Quorvel Ink", quorvel::app::SingleInstance::alreadyOpenText());
    }
    return 0;
  }

  quorvel::app::QtPanels panels;
  quorvel::app::QtDesktop desktop;
  std::unique_ptr<quorvel::app::AppModel> model;
  try {
    model = std::make_unique<quorvel::app::AppModel>(quorvel::app::AppModel::Options{&panels, &desktop, nullptr, {}});
  } catch (const std::exception& error) {
    QMessageBox::critical(nullptr, "Quorvel Ink",
                          QString::fromStdString(quorvel::app::AppModel::describe(error)));
    return 1;
  }
  quorvel::app::MainWindow window(*model);
  QObject::connect(&instance, &quorvel::app::SingleInstance::activationRequested, &window,
                   [&window] { quorvel::app::SingleInstance::bringForward(&window); });
  window.show();
  const int status = application.exec();
  window.saveOpenPage();
  return status;
}
