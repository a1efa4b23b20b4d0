// TfrmMain: the application's main window. It is never shown; it owns the tray icon and its
// pop-up menu, asks before quitting, and stops the server when it closes (Exit + Yes, or a
// stop signal). Main thread only.
#pragma once

#include <functional>

#include <QWidget>

class QAction;
class QMenu;

namespace pv {

class TCoolTrayIcon;
class TfrmAbout;

inline constexpr const char* kQuitQuestion = "You really want to quit Quorvin Server";

class TfrmMain : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 185;
  static constexpr int kClientHeight = 159;

  // `server_deinit` runs once, when the window closes; a null one is skipped (no server).
  explicit TfrmMain(std::function<void()> server_deinit, QWidget* parent = nullptr);
  ~TfrmMain() override;

  // The About window shown by About1Click; created after this window, shown modally, reused.
  void SetAboutWindow(TfrmAbout* about) { about_ = about; }

  void About1Click();
  // Asks "Confirm"; Yes closes this window, No or closing the question leaves all running.
  void Exit1Click();

  TCoolTrayIcon* CoolTrayIcon = nullptr;
  QMenu* PopupMenu = nullptr;
  QAction* About1 = nullptr;
  QAction* N1 = nullptr;
  QAction* Exit1 = nullptr;

 signals:
  // The server has stopped: the application is to end. main connects it to quit(); a hidden
  // window's close does not end the message loop by itself.
  void QuitRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormClose();

  std::function<void()> server_deinit_;
  TfrmAbout* about_ = nullptr;
  bool closed_ = false;
  bool asking_ = false;
};

}  // namespace pv
