#include <QApplication>
#include <QMainWindow>
#include <QMessageBox>

#include "app/app_model.h"
#include "core/curl_support.h"
#include "core/image_tools.h"
#include "core/ocr.h"

int main(int argc, char** argv) {
  quorvel::ensureSingleThreadedRecognition(argv);
  quorvel::ImageTools::ensureStarted();
  QApplication application(argc, argv);
  QApplication::setOrganizationName("Quorvel");
  QApplication::setApplicationName("Quorvel Ink");
  QApplication::setApplicationVersion(QString::fromStdString(quorvel::app::AppModel::version()));
  QApplication::setDesktopFileName("quorvel-ink");
  quorvel::app::AppModel::quitOnSignals();

  quorvel::app::QtPanels panels;
  quorvel::app::QtDesktop desktop;
  std::unique_ptr<quorvel::app::AppModel> model;
  try {
    model = std::make_unique<quorvel::app::AppModel>(
        quorvel::app::AppModel::Options{&panels, &desktop, nullptr, {}});
  } catch (const std::exception& error) {
    QMessageBox::critical(nullptr, "Quorvel Ink", QString::fromStdString(error.what()));
    return 1;
  }
  QMainWindow window;
  window.setWindowTitle("Quorvel Ink");
  window.resize(1240, 800);
  window.show();
  return application.exec();
}
