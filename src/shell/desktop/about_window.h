// TfrmAbout: the About window. Created once at start-up, shown modally from the tray menu and
// hidden again by OK or its close box; the version label is filled once, when it is created.
// Main thread only.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QString>

#include "core/settings.h"

class QPushButton;

namespace pv {

class TVersionInfo;

// The product site is core/settings.h's kProductSite.
inline constexpr const char* kNetworkingSiteUrl = "http://www.parleyvox.example/net/";

// A blue address with a hand cursor that reports double-clicks (a QLabel has no such signal).
class TLinkLabel : public QLabel {
  Q_OBJECT

 public:
  TLinkLabel(const QString& address, QWidget* parent);

 signals:
  void DoubleClicked();

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
};

class TfrmAbout : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 298;
  static constexpr int kClientHeight = 319;

  // `version` is read here only (FormCreate); the window keeps no reference to it.
  explicit TfrmAbout(const TVersionInfo& version, QWidget* parent = nullptr);

  // Places the window in the middle of its screen; called before each showing.
  void CentreOnScreen();

  // Open the two addresses in the user's browser (xdg-open); a failure changes nothing.
  void Label8Click();
  void Label7DblClick();

  QLabel* lbversion = nullptr;
  TLinkLabel* Label8 = nullptr;  // the product's site
  TLinkLabel* Label7 = nullptr;  // the networking layer's site
  QPushButton* OKButton = nullptr;

 private:
  void FormCreate(const TVersionInfo& version);
  void AddCredits();
  void AddNetworkingPanel();
};

}  // namespace pv
