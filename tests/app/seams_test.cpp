// The real file panels, driven as a person would: where they start, files and
// folders chosen together, several folders at once.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <set>

#include "app/seams.h"
#include "app_test_support.h"

namespace quorvel::testing {
namespace {

using app::Panels;
using app::QtPanels;

Panels::OpenRequest addScans() {
  return {"Add scans to your archive", "Choose scans or whole folders.", "Add", true, true, true};
}
Panels::OpenRequest watchFolders() {
  return {"Watch a folder", "New scans saved in this folder are added.", "Watch", false, true, true};
}

QPushButton* acceptButton(QFileDialog& dialog) {
  auto* buttons = dialog.findChild<QDialogButtonBox*>("buttonBox");
  return buttons ? buttons->button(QDialogButtonBox::Open) : nullptr;
}

// The names the panel lists in its folder, once it has read it.
std::set<std::string> listed(QFileDialog& dialog, std::size_t atLeast) {
  auto* list = dialog.findChild<QListView*>("listView");
  std::set<std::string> names;
  waitUntil([&] {
    names.clear();
    const QModelIndex root = list->rootIndex();
    for (int row = 0; row < list->model()->rowCount(root); ++row) {
      names.insert(list->model()->index(row, 0, root).data().toString().toStdString());
    }
    return names.size() >= atLeast;
  });
  return names;
}

// Chooses the named entries of the panel's folder: a click on the first,
// Ctrl and a click on each of the others.
void choose(QFileDialog& dialog, const std::vector<std::string>& names) {
  auto* list = dialog.findChild<QListView*>("listView");
  auto* model = qobject_cast<QFileSystemModel*>(list->model());
  ASSERT_NE(model, nullptr);
  for (std::size_t i = 0; i < names.size(); ++i) {
    const QModelIndex index = model->index(dialog.directory().filePath(QString::fromStdString(names[i])));
    ASSERT_TRUE(index.isValid()) << names[i];
    list->scrollTo(index);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, i == 0 ? Qt::NoModifier : Qt::ControlModifier,
                      list->visualRect(index).center());
  }
  pump(50);
}

std::set<std::string> chosen(QFileDialog& dialog) {
  std::set<std::string> paths;
  for (const QString& path : dialog.selectedFiles()) paths.insert(path.toStdString());
  return paths;
}

class RealPanels : public ::testing::Test {
 protected:
  RealPanels() {
    std::filesystem::create_directories(dir.file("box"));
    std::filesystem::create_directories(dir.file("drawer"));
    writeScan(dir.file("box/inside.png"));
    writeScan(dir.file("drawer/inside.png"), 61);
    writeScan(dir.file("loose.png"), 62);
    writeFile(dir.file("notes.txt"), "not a scan");
  }
  TempDir dir;
  QtPanels panels;
};

TEST_F(RealPanels, AddTakesFilesAndFoldersTogetherAndKeepsItsName) {
  auto dialog = panels.openDialog(addScans(), nullptr);
  dialog->setDirectory(QString::fromStdString(dir.path()));
  dialog->open();
  EXPECT_EQ(listed(*dialog, 4), (std::set<std::string>{"box", "drawer", "loose.png", "notes.txt"}));
  choose(*dialog, {"box", "loose.png"});
  QPushButton* add = acceptButton(*dialog);
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add->text().toStdString(), "Add") << "not \"Open\" with a folder chosen";
  EXPECT_TRUE(add->isEnabled());
  add->click();
  EXPECT_EQ(dialog->result(), QDialog::Accepted) << "the folder was opened instead of added";
  EXPECT_EQ(chosen(*dialog), (std::set<std::string>{dir.file("box"), dir.file("loose.png")}));
}

TEST_F(RealPanels, WatchTakesSeveralFoldersAndListsNoFiles) {
  auto dialog = panels.openDialog(watchFolders(), nullptr);
  dialog->setDirectory(QString::fromStdString(dir.path()));
  dialog->open();
  pump(300);
  EXPECT_EQ(listed(*dialog, 2), (std::set<std::string>{"box", "drawer"}));
  choose(*dialog, {"box", "drawer"});
  QPushButton* watch = acceptButton(*dialog);
  ASSERT_NE(watch, nullptr);
  EXPECT_EQ(watch->text().toStdString(), "Watch");
  watch->click();
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_EQ(chosen(*dialog), (std::set<std::string>{dir.file("box"), dir.file("drawer")}));
}

TEST_F(RealPanels, PanelsStartAtHomeThenWhereTheLastChoiceWasMade) {
  // Started from another folder, as from a terminal.
  const std::filesystem::path started = std::filesystem::current_path();
  std::filesystem::current_path(dir.file("box"));
  const std::string home = QDir::homePath().toStdString();
  EXPECT_EQ(panels.startFolder().toStdString(), home);
  EXPECT_EQ(panels.openDialog(addScans(), nullptr)->directory().absolutePath().toStdString(), home);
  EXPECT_EQ(panels.saveDialog("Back up your archive", "Quorvel Ink.quorvel-backup", nullptr)
                ->directory()
                .absolutePath()
                .toStdString(),
            home);
  std::filesystem::current_path(started);

  // The panel as open() runs it: the person goes to the folder and chooses in it.
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->setDirectory(QString::fromStdString(dir.file("drawer")));
    listed(*dialog, 1);
    choose(*dialog, {"inside.png"});
    acceptButton(*dialog)->click();
  });
  EXPECT_EQ(panels.open(addScans()), std::vector<std::string>{dir.file("drawer/inside.png")});
  EXPECT_EQ(panels.startFolder().toStdString(), dir.file("drawer"));

  // The save panel then starts there, with the proposed name in its field.
  auto save = panels.saveDialog("Save the keepsake book", "Our Family Letters.pdf", nullptr);
  EXPECT_EQ(save->directory().absolutePath().toStdString(), dir.file("drawer"));
  save->open();
  EXPECT_EQ(save->findChild<QLineEdit*>("fileNameEdit")->text().toStdString(), "Our Family Letters.pdf");
}

}  // namespace
}  // namespace quorvel::testing
