#include "passwords.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace pv::ctl {

namespace {

// Reads one line from stdin with the terminal's echo switched off, and restores it.
std::string ReadLineWithoutEcho(const char* prompt) {
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  termios saved{};
  bool restore = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  std::getline(std::cin, line);
  if (restore) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::fputs("\n", stderr);
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
