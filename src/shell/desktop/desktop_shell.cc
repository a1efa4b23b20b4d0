#include "shell/desktop/desktop_shell.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QSocketNotifier>
#include <QSystemTrayIcon>

#include "shell/desktop/about_window.h"
#include "shell/desktop/main_window.h"
#include "shell/desktop/tray_icon.h"
#include "shell/shell.h"
#include "shell/version_info.h"

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only: libdbus, which Qt loads to look for a desktop bus, keeps a buffer
// until the process ends. It is not ours to free, and the leak check would fail every exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }
#endif

namespace pv {

namespace {

bool IsSet(const char* value) { return value && *value; }

}  // namespace

StopSignalWatch::StopSignalWatch(TfrmMain& main_window) {
  sigset_t set = StopSignals();
  fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) {
    std::perror("pvserver: signalfd (SIGINT and SIGTERM will not stop the server)");
    return;
  }
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, &main_window, [this, &main_window] {
    signalfd_siginfo info;
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    main_window.close();
  });
}

StopSignalWatch::~StopSignalWatch() {
  notifier_.reset();
  if (fd_ >= 0) ::close(fd_);
}

void PrepareApplication(QApplication& app) {
  // The application's name, not its display name: the latter would be added to every title.
  QCoreApplication::setApplicationName(QStringLiteral("Parleyvox Server"));
  QApplication::setWindowIcon(ApplicationIcon());
  // Closing the About window must not end the message loop; only the main window's close does.
  app.setQuitOnLastWindowClosed(false);
}

std::optional<std::string> DesktopPlatformList(const char* qpa_platform, const char* display,
                                               const char* wayland_display) {
  if (!IsSet(display) && !IsSet(wayland_display)) return std::nullopt;
  if (IsSet(qpa_platform)) {
    std::string chosen = qpa_platform;
    if (chosen.find("offscreen") == std::string::npos) chosen += ";offscreen";
    return chosen;
  }
  return IsSet(wayland_display) ? "wayland;xcb;offscreen" : "xcb;offscreen";
}

DesktopShell::DesktopShell(const std::string& program_path) : program_path_(program_path) {
  // Qt sees only the program name: the command line is the server's.
  argv_[0] = program_path_.data();
  app_ = std::make_unique<QApplication>(argc_, argv_);
}

DesktopShell::~DesktopShell() = default;

std::unique_ptr<DesktopShell> DesktopShell::Open(const std::string& program_path) {
  auto platforms = DesktopPlatformList(std::getenv("QT_QPA_PLATFORM"), std::getenv("DISPLAY"),
                                       std::getenv("WAYLAND_DISPLAY"));
  if (!platforms) return nullptr;
  ::setenv("QT_QPA_PLATFORM", platforms->c_str(), 1);
  std::unique_ptr<DesktopShell> shell(new DesktopShell(program_path));
  if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
    std::fputs("pvserver: the display cannot be opened; running without a tray icon\n", stderr);
    return nullptr;
  }
  // Only a tray that answers now counts: the version text is settled before start-up.
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    std::fputs("pvserver: no system tray on this display; running without a tray icon\n", stderr);
    return nullptr;
  }
  return shell;
}

void DesktopShell::Run(const StopServer& stop) {
  PrepareApplication(*app_);
  TVersionInfo version;
  TfrmMain frmMain([&stop] { stop(); });
  TfrmAbout frmAbout(version);
  frmMain.SetAboutWindow(&frmAbout);
  QObject::connect(&frmMain, &TfrmMain::QuitRequested, app_.get(), &QCoreApplication::quit);
  StopSignalWatch stop_signals(frmMain);

  frmMain.CoolTrayIcon->show();
  QApplication::exec();
  // Leaving this scope destroys the main window, which takes the icon out of the tray.
}

}  // namespace pv
