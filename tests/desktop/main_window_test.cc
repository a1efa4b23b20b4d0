// The hidden main window, its tray menu and the quit question, driven through the same actions
// the tray menu triggers. The texts a person reads are checked on a real display by
// tests/e2e/desktop_test.cc.
#include "shell/desktop/main_window.h"

#include <chrono>
#include <functional>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "shell/desktop/about_window.h"
#include "shell/desktop/tray_icon.h"
#include "shell/version_info.h"

namespace pv {
namespace {

// Answers the next modal window: a timer polls every 10 ms for the active modal widget of the
// expected type and hands it to `answer`, which looks at it and closes it. Whatever happens, a
// modal still up at the deadline is rejected, so a test never hangs in exec().
template <typename Modal>
class ModalAnswer {
 public:
  explicit ModalAnswer(std::function<void(Modal*)> answer)
      : answer_(std::move(answer)), end_(std::chrono::steady_clock::now() + std::chrono::seconds(5)) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
  }

  // True once a modal of the expected type came up and `answer` ran.
  bool Answered() const { return answered_; }

 private:
  void Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* wanted = qobject_cast<Modal*>(modal); wanted && !answered_) {
      answered_ = true;
      timer_.stop();
      answer_(wanted);
      return;
    }
    if (std::chrono::steady_clock::now() < end_) return;
    timer_.stop();
    if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
  }

  std::function<void(Modal*)> answer_;
  std::chrono::steady_clock::time_point end_;
  QTimer timer_;
  bool answered_ = false;
};

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
  // The items' texts and order are read off the screen by tests/e2e/desktop_test.cc.
  auto actions = frmMain.PopupMenu->actions();
  ASSERT_EQ(actions.size(), 3);
  EXPECT_TRUE(actions[1]->isSeparator());
  // No default item: a double-click on the icon has nothing to run.
  EXPECT_EQ(frmMain.PopupMenu->defaultAction(), nullptr);
}

// Only Yes stops the server, once: here Return on the default button; the end-to-end test
// (tests/e2e/desktop_test.cc) answers with the keys of No and Yes, which their texts' mnemonics give.
TEST_F(MainWindow, TheQuitQuestionStopsTheServerOnlyOnYes) {
  ExitAnswering([](QMessageBox* box) {
    EXPECT_EQ(box->icon(), QMessageBox::Question);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    QTest::keyClick(box, Qt::Key_Escape);
  });
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
}

}  // namespace
}  // namespace pv
