// The About window's look and links; what a person sees of it on a real display, and that
// closing it leaves the server running, is tests/e2e/desktop_test.cc's.
#include "shell/desktop/about_window.h"

#include <QDesktopServices>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>

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

TEST(AboutWindow, IsFixedWhiteWithEveryControlInsideAndTheRecordsVersion) {
  TfrmAbout frmAbout{TVersionInfo()};
  EXPECT_EQ(frmAbout.minimumSize(), frmAbout.maximumSize());
  EXPECT_EQ(frmAbout.palette().color(QPalette::Window), QColor(Qt::white));
  EXPECT_FALSE(frmAbout.isVisible());
  for (QWidget* child : frmAbout.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    EXPECT_TRUE(frmAbout.rect().contains(child->geometry())) << child->metaObject()->className();
  TfrmAbout flagged{TVersionInfo(FixedFileInfo{(1u << 16) | 2u, 2u << 16, kFileFlagDebug | kFileFlagPatched, 0x3F})};
  EXPECT_EQ(flagged.lbversion->text(), "1.2.2.0 Debug, patched");
}

TEST(AboutWindow, DoubleClickingALinkOpensItsAddressASingleClickDoesNot) {
  UrlRecorder recorder;
  QDesktopServices::setUrlHandler("http", &recorder, "Open");
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
  frmAbout.hide();
  QDesktopServices::unsetUrlHandler("http");
}

}  // namespace
}  // namespace pv

#include "about_window_test.moc"
