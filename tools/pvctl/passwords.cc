#include "passwords.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace pv::ctl {

namespace {

// The terminal's settings while a prompt has its echo off; a stop signal then puts them back
// before the signal ends pvctl.
termios saved_terminal;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void RestoreTerminalAndDie(int signal) {
  ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
  std::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Reads one line from stdin with the terminal's echo switched off, and restores it. None at the
// end of the input: an empty password must be typed, not happen. The echo goes off (dropping
// what was typed ahead) before the prompt shows, so nothing typed after the prompt is lost.
std::optional<std::string> ReadLineWithoutEcho(const char* prompt) {
  bool restore = ::tcgetattr(STDIN_FILENO, &saved_terminal) == 0;
  if (restore) {
    for (int s : kStopSignals) std::signal(s, RestoreTerminalAndDie);
    termios quiet = saved_terminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  std::string line;
  const bool read = static_cast<bool>(std::getline(std::cin, line));
  if (restore) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
    for (int s : kStopSignals) std::signal(s, SIG_DFL);
  }
  std::fputs("\n", stderr);
  if (!read) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

bool CanPrompt() { return ::isatty(STDIN_FILENO) != 0; }

std::optional<std::string> SecretFromEnvOrPrompt(const char* variable, const char* prompt) {
  if (const char* value = std::getenv(variable)) return std::string(value);
  if (!CanPrompt()) return std::nullopt;
  return ReadLineWithoutEcho(prompt);
}

}  // namespace pv::ctl
