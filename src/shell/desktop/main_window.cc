#include "shell/desktop/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QMenu>
#include <QMessageBox>

#include "shell/desktop/about_window.h"
#include "shell/desktop/tray_icon.h"

namespace pv {

TfrmMain::TfrmMain(std::function<void()> server_deinit, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint),
      server_deinit_(std::move(server_deinit)) {
  setObjectName("frmMain");
  setWindowTitle(QStringLiteral("QVServer"));
  setFixedSize(kClientWidth, kClientHeight);

  // The menu has no parent widget: it is a top-level pop-up owned by this window.
  PopupMenu = new QMenu();
  PopupMenu->setObjectName("PopupMenu");
  About1 = PopupMenu->addAction(QStringLiteral("&About"));
  About1->setObjectName("About1");
  N1 = PopupMenu->addSeparator();
  N1->setObjectName("N1");
  Exit1 = PopupMenu->addAction(QStringLiteral("&Exit"));
  Exit1->setObjectName("Exit1");
  connect(About1, &QAction::triggered, this, &TfrmMain::About1Click);
  connect(Exit1, &QAction::triggered, this, &TfrmMain::Exit1Click);

  CoolTrayIcon = new TCoolTrayIcon(PopupMenu, this);
}

TfrmMain::~TfrmMain() {
  // The icon leaves the tray before its menu goes.
  delete CoolTrayIcon;
  delete PopupMenu;
}

void TfrmMain::About1Click() {
  if (!about_ || about_->isVisible()) return;
  about_->CentreOnScreen();
  about_->exec();
}

void TfrmMain::Exit1Click() {
  // The tray menu stays reachable while the question is up; one question at a time.
  if (asking_ || closed_) return;
  asking_ = true;
  QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), QString::fromLatin1(kQuitQuestion),
                  QMessageBox::Yes | QMessageBox::No);
  box.setObjectName("ConfirmBox");
  // Enter answers Yes; Escape and the close box answer No.
  box.setDefaultButton(QMessageBox::Yes);
  box.setEscapeButton(QMessageBox::No);
  int answer = box.exec();
  asking_ = false;
  if (answer == QMessageBox::Yes) close();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  event->accept();
  FormClose();
}

void TfrmMain::FormClose() {
  // Exit + Yes and a stop signal can both close the window; the server stops once.
  if (closed_) return;
  closed_ = true;
  if (server_deinit_) server_deinit_();
  emit QuitRequested();
}

}  // namespace pv
