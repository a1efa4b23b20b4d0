// The About window: its fixed look, the version label and the two links (its reuse is checked
// through the main window's About), plus the application settings that keep the server alive
// when the About window closes.
#include "shell/desktop/about_window.h"

#include <QDesktopServices>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>

#include "shell/desktop/desktop_shell.h"
#include "shell/version_info.h"

namespace pv {
namespace {

// Receives the addresses the window asks the desktop to open.
class UrlRecorder : public QObject {
  Q_OBJECT

 public:
  QList<QUrl> opened;

 public slots:
  void Open(const QUrl& url) { opened.append(url); }
};

class AboutWindow : public ::testing::Test {
 protected:
  void SetUp() override { QDesktopServices::setUrlHandler("http", &recorder, "Open"); }
  void TearDown() override { QDesktopServices::unsetUrlHandler("http"); }

  UrlRecorder recorder;
};

TEST_F(AboutWindow, HasItsFixedSizeTitleAndWhiteBackground) {
  TfrmAbout frmAbout{TVersionInfo()};
  EXPECT_EQ(frmAbout.windowTitle(), "About Parleyvox");
  EXPECT_EQ(frmAbout.size(), QSize(298, 319));
  EXPECT_EQ(frmAbout.minimumSize(), frmAbout.maximumSize());
  EXPECT_EQ(frmAbout.palette().color(QPalette::Window), QColor(Qt::white));
  EXPECT_FALSE(frmAbout.isVisible());
  // The version shares the product name's bold 16-pixel font.
  EXPECT_TRUE(frmAbout.lbversion->font().bold());
  EXPECT_EQ(frmAbout.lbversion->font().pixelSize(), 16);
  // Every control lies inside the client area.
  for (QWidget* child : frmAbout.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    EXPECT_TRUE(frmAbout.rect().contains(child->geometry())) << child->metaObject()->className();
}

TEST_F(AboutWindow, VersionLabelShowsTheRecordsTextOnceCreated) {
  TfrmAbout plain{TVersionInfo()};
  EXPECT_EQ(plain.lbversion->text(), QString::fromStdString(TVersionInfo().GetVersionText()));
  TfrmAbout flagged{TVersionInfo(FixedFileInfo{(1u << 16) | 2u, 2u << 16, kFileFlagDebug | kFileFlagPatched, 0x3F})};
  EXPECT_EQ(flagged.lbversion->text(), "1.2.2.0 Debug, patched");
  TfrmAbout none{TVersionInfo(std::nullopt)};
  EXPECT_EQ(none.lbversion->text(), "0.0.0.0 ");
}

TEST_F(AboutWindow, DoubleClickingALinkOpensItsAddressASingleClickDoesNot) {
  TfrmAbout frmAbout{TVersionInfo()};
  frmAbout.show();
  QTest::mouseClick(frmAbout.Label8, Qt::LeftButton);
  EXPECT_TRUE(recorder.opened.isEmpty());
  QTest::mouseDClick(frmAbout.Label8, Qt::LeftButton);
  QTest::mouseDClick(frmAbout.Label7, Qt::LeftButton);
  ASSERT_EQ(recorder.opened.size(), 2);
  EXPECT_EQ(recorder.opened[0], QUrl("http://www.parleyvox.example/"));
  EXPECT_EQ(recorder.opened[1], QUrl("http://www.parleyvox.example/net/"));
  EXPECT_EQ(frmAbout.Label8->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(frmAbout.Label8->palette().color(QPalette::WindowText), QColor(Qt::blue));
  frmAbout.hide();
}

TEST_F(AboutWindow, ClosingItLeavesTheApplicationRunning) {
  // The About window is the only visible window of the server; with Qt's default its close
  // would end the message loop and the server with it.
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  ASSERT_NE(app, nullptr);
  PrepareApplication(*app);
  EXPECT_EQ(QCoreApplication::applicationName(), "Parleyvox Server");
  TfrmAbout frmAbout{TVersionInfo()};
  bool still_running = false;
  QTimer::singleShot(0, &frmAbout, [&] { frmAbout.show(); });
  QTimer::singleShot(50, &frmAbout, [&] { frmAbout.close(); });
  QTimer::singleShot(300, &frmAbout, [&] {
    still_running = true;
    QCoreApplication::quit();
  });
  QTimer::singleShot(5000, &frmAbout, [] { QCoreApplication::quit(); });
  QApplication::exec();
  EXPECT_TRUE(still_running);
}

}  // namespace
}  // namespace pv

#include "about_window_test.moc"
