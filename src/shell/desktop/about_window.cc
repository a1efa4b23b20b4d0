#include "shell/desktop/about_window.h"

#include <QDesktopServices>
#include <QFont>
#include <QFrame>
#include <QGuiApplication>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QUrl>

#include "shell/version_info.h"

namespace pv {

namespace {

// The product name and the version share one font: bold 16-pixel Arial (fontconfig picks a
// look-alike where Arial is missing).
QFont TitleFont() {
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(16);
  font.setBold(true);
  return font;
}

QLabel* AddLabel(QWidget* parent, const QString& text, QRect geometry) {
  auto* label = new QLabel(text, parent);
  label->setGeometry(geometry);
  return label;
}

QFrame* AddPanel(QWidget* parent, QRect geometry) {
  auto* panel = new QFrame(parent);
  panel->setFrameShape(QFrame::StyledPanel);
  panel->setFrameShadow(QFrame::Sunken);
  panel->setGeometry(geometry);
  return panel;
}

}  // namespace

TLinkLabel::TLinkLabel(const QString& address, QWidget* parent) : QLabel(address, parent) {
  QPalette palette = this->palette();
  palette.setColor(QPalette::WindowText, Qt::blue);
  setPalette(palette);
  setCursor(Qt::PointingHandCursor);
}

void TLinkLabel::mouseDoubleClickEvent(QMouseEvent* event) {
  QLabel::mouseDoubleClickEvent(event);
  emit DoubleClicked();
}

TfrmAbout::TfrmAbout(const TVersionInfo& version, QWidget* parent) : QDialog(parent) {
  setObjectName("frmAbout");
  setWindowTitle(QStringLiteral("About Parleyvox"));
  setFixedSize(kClientWidth, kClientHeight);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::white);
  setPalette(palette);
  setAutoFillBackground(true);

  auto* product = AddLabel(this, QStringLiteral("Parleyvox"), QRect(16, 14, 100, 24));
  product->setFont(TitleFont());
  lbversion = AddLabel(this, QStringLiteral("0.1"), QRect(114, 14, 168, 24));
  lbversion->setObjectName("lbversion");
  lbversion->setFont(TitleFont());
  AddLabel(this, QStringLiteral("Made by the Parleyvox team"), QRect(16, 42, 266, 18));
  AddLabel(this, QStringLiteral("Our HP:"), QRect(16, 62, 56, 18));
  Label8 = new TLinkLabel(QString::fromLatin1(kProductSite), this);
  Label8->setObjectName("Label8");
  Label8->setGeometry(72, 62, 210, 18);
  connect(Label8, &TLinkLabel::DoubleClicked, this, &TfrmAbout::Label8Click);
  AddCredits();
  AddNetworkingPanel();

  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setObjectName("OKButton");
  OKButton->setGeometry(111, 280, 76, 26);
  OKButton->setDefault(true);
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
  FormCreate(version);
}

void TfrmAbout::AddCredits() {
  QFrame* panel = AddPanel(this, QRect(16, 88, 266, 92));
  auto* heading = AddLabel(panel, QStringLiteral("Credits"), QRect(8, 6, 250, 18));
  QFont bold = heading->font();
  bold.setBold(true);
  heading->setFont(bold);
  AddLabel(panel, QStringLiteral("Server: the Parleyvox developers"), QRect(8, 28, 250, 18));
  AddLabel(panel, QStringLiteral("Protocol and clients: the Parleyvox team"), QRect(8, 48, 250, 18));
  AddLabel(panel, QStringLiteral("Testing: everyone who reported a fault"), QRect(8, 68, 250, 18));
}

void TfrmAbout::AddNetworkingPanel() {
  QFrame* panel = AddPanel(this, QRect(16, 190, 266, 76));
  auto* thanks = AddLabel(panel,
                          QStringLiteral("Networking: the server's own socket layer, by the "
                                         "Parleyvox developers. Thanks to all who helped."),
                          QRect(8, 6, 250, 44));
  thanks->setWordWrap(true);
  Label7 = new TLinkLabel(QString::fromLatin1(kNetworkingSiteUrl), panel);
  Label7->setObjectName("Label7");
  Label7->setGeometry(8, 52, 250, 18);
  connect(Label7, &TLinkLabel::DoubleClicked, this, &TfrmAbout::Label7DblClick);
}

void TfrmAbout::FormCreate(const TVersionInfo& version) {
  lbversion->setText(QString::fromStdString(version.GetVersionText()));
}

void TfrmAbout::CentreOnScreen() {
  QScreen* target = screen() ? screen() : QGuiApplication::primaryScreen();
  if (!target) return;
  QRect area = target->availableGeometry();
  move(area.center() - QPoint(width() / 2, height() / 2));
}

void TfrmAbout::Label8Click() { QDesktopServices::openUrl(QUrl(QString::fromLatin1(kProductSite))); }

void TfrmAbout::Label7DblClick() { QDesktopServices::openUrl(QUrl(QString::fromLatin1(kNetworkingSiteUrl))); }

}  // namespace pv
