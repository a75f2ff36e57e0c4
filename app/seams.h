#pragma once
// The two places where the application meets the person's desktop: the file
// panels (open, save, confirm) and the desktop itself (open a file, show it in
// the file manager, open an address, quit). The model and the views reach the
// desktop only through these, so tests run without dialogs or a desktop.
// Everything here is called on the GUI thread.
#include <optional>
#include <string>
#include <vector>

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
  // created); the chosen path, or none when cancelled.
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
class QtPanels : public Panels {
 public:
  std::vector<std::string> open(const OpenRequest& request) override;
  std::optional<std::string> save(const std::string& title, const std::string& name) override;
  bool confirm(const std::string& title, const std::string& message,
               const std::string& button, const std::string& cancel) override;
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
