// Answers the next modal window of the test's own process: a timer polls every 10 ms for the
// active modal widget of the expected type and hands it to `answer`, which looks at it and
// closes it. Whatever happens, a modal still up at the deadline is rejected, so a test never
// hangs in exec().
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <QApplication>
#include <QDialog>
#include <QTimer>

namespace pv::test {

template <typename Modal>
class ModalAnswer {
 public:
  explicit ModalAnswer(std::function<void(Modal*)> answer,
                       std::chrono::milliseconds deadline = std::chrono::seconds(5))
      : answer_(std::move(answer)), end_(std::chrono::steady_clock::now() + deadline) {
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

}  // namespace pv::test
