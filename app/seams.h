#pragma once
// The two places where the application meets the person's desktop: the file
// panels (open, save, confirm) and the desktop itself (open a file, show it in
// the file manager, open an address, quit). The model and the views reach the
// desktop only through these, so tests run without dialogs or a desktop.
// Everything here is called on the GUI thread.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QString>

class QFileDialog;
class QWidget;

namespace quorvel::app {

class Panels {
 public:
  virtual ~Panels() = default;

  struct OpenRequest {
    std::string title;
    std::string message;
    std::string prompt;  // the confirming button
    bool files = true;
    bool folders = false;
    bool multiple = false;
  };
  // The chosen paths in the panel's order; empty when the person cancelled.
  virtual std::vector<std::string> open(const OpenRequest& request) = 0;
  // A modal save panel with the title and the proposed name (folders may be
  // created); the chosen path as typed, or none when cancelled.
  virtual std::optional<std::string> save(const std::string& title, const std::string& name) = 0;
  // A question with a destructive or confirming button and a cancel button
  // (`cancel`, "Cancel" when empty); true when confirmed.
  virtual bool confirm(const std::string& title, const std::string& message,
                       const std::string& button, const std::string& cancel) = 0;
  bool confirm(const std::string& title, const std::string& message, const std::string& button) {
    return confirm(title, message, button, std::string());
  }
};

class Desktop {
 public:
  virtual ~Desktop() = default;
  // Opens the file with the desktop's default program.
  virtual void openFile(const std::string& path) = 0;
  // Shows the file selected in the file manager (its folder when it cannot).
  virtual void reveal(const std::string& path) = 0;
  // Opens a folder itself in the file manager.
  virtual void openFolder(const std::string& path) = 0;
  // Opens a web address in the browser.
  virtual void openUrl(const std::string& url) = 0;
  // Ends the program by the normal quit path.
  virtual void quit() = 0;
};

// The real ones: Qt's file dialogs and message boxes; QDesktopServices and the
// freedesktop FileManager1 service over D-Bus.
// The panels start in the home folder, and then in the folder of the last
// choice made in any of them.
class QtPanels : public Panels {
 public:
  QtPanels();
  std::vector<std::string> open(const OpenRequest& request) override;
  std::optional<std::string> save(const std::string& title, const std::string& name) override;
  bool confirm(const std::string& title, const std::string& message,
               const std::string& button, const std::string& cancel) override;

  // The open panel for a request, not yet shown. A panel for several folders,
  // or for files and folders together, is Qt's own: its confirming button
  // takes the chosen folders as they are (a double click still opens one).
  std::unique_ptr<QFileDialog> openDialog(const OpenRequest& request, QWidget* parent) const;
  // The save panel, its name field holding the proposed name.
  std::unique_ptr<QFileDialog> saveDialog(const std::string& title, const std::string& name,
                                          QWidget* parent) const;
  // Where the next panel starts.
  const QString& startFolder() const { return startFolder_; }

 private:
  QString startFolder_;
};

class QtDesktop : public Desktop {
 public:
  void openFile(const std::string& path) override;
  void reveal(const std::string& path) override;
  void openFolder(const std::string& path) override;
  void openUrl(const std::string& url) override;
  void quit() override;
};

}  // namespace quorvel::app
