// The hidden main window, its tray menu and the quit question, driven through the same actions
// the tray menu triggers. The texts a person reads are checked on a real display by
// tests/e2e/desktop_test.cc.
#include "shell/desktop/main_window.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include "shell/desktop/about_window.h"
#include "shell/desktop/tray_icon.h"
#include "shell/version_info.h"
#include "modal_helper.h"

namespace pv {
namespace {

using test::ModalAnswer;

class MainWindow : public ::testing::Test {
 protected:
  MainWindow() : frmMain([this] { ++deinit_calls; }), quit_spy(&frmMain, &TfrmMain::QuitRequested) {}

  // Chooses Exit and lets `answer` deal with the question.
  void ExitAnswering(std::function<void(QMessageBox*)> answer) {
    ModalAnswer<QMessageBox> responder(std::move(answer));
    frmMain.Exit1->trigger();
    EXPECT_TRUE(responder.Answered()) << "no quit question came up";
  }

  int deinit_calls = 0;
  TfrmMain frmMain;
  QSignalSpy quit_spy;
};

TEST_F(MainWindow, IsHiddenAndItsTrayIconOffersAboutAndExitWithoutADefault) {
  EXPECT_FALSE(frmMain.isVisible());
  auto actions = frmMain.PopupMenu->actions();
  ASSERT_EQ(actions.size(), 3);
  EXPECT_EQ(actions[0], frmMain.About1);
  EXPECT_TRUE(actions[1]->isSeparator());
  EXPECT_EQ(actions[2], frmMain.Exit1);
  // No default item: a double-click on the icon has nothing to run.
  EXPECT_EQ(frmMain.PopupMenu->defaultAction(), nullptr);
}

// Only Yes stops the server, once: here Return on the default button; the end-to-end test
// (tests/e2e/desktop_test.cc) answers with Yes's key.
TEST_F(MainWindow, TheQuitQuestionStopsTheServerOnlyOnYes) {
  ExitAnswering([](QMessageBox* box) {
    EXPECT_EQ(box->icon(), QMessageBox::Question);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(box->button(QMessageBox::Yes)->text(), "&Yes");
    EXPECT_EQ(box->button(QMessageBox::No)->text(), "&No");
    QTest::keyClick(box, Qt::Key_N);
  });
  ExitAnswering([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
  ExitAnswering([](QMessageBox* box) { box->close(); });
  EXPECT_EQ(deinit_calls, 0);
  EXPECT_EQ(quit_spy.count(), 0);
  ExitAnswering([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); });
  EXPECT_EQ(deinit_calls, 1);
  EXPECT_EQ(quit_spy.count(), 1);
  // A stop signal after Exit + Yes, or a second Exit, stops nothing twice.
  frmMain.close();
  frmMain.Exit1->trigger();
  EXPECT_EQ(deinit_calls, 1);
  EXPECT_EQ(quit_spy.count(), 1);
}

TEST_F(MainWindow, AboutOpensTheOneAboutWindowModallyEachTime) {
  TVersionInfo version;
  TfrmAbout frmAbout(version);
  frmMain.SetAboutWindow(&frmAbout);
  for (int round = 0; round < 2; ++round) {
    ModalAnswer<TfrmAbout> responder([&](TfrmAbout* about) {
      EXPECT_EQ(about, &frmAbout);
      QTest::mouseClick(about->OKButton, Qt::LeftButton);
    });
    frmMain.About1->trigger();
    EXPECT_TRUE(responder.Answered()) << "round " << round;
    EXPECT_FALSE(frmAbout.isVisible());
  }
  EXPECT_EQ(deinit_calls, 0);
}

}  // namespace
}  // namespace pv
