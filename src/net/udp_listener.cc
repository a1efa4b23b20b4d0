#include "net/udp_listener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "net/net_errors.h"
#include "net/socket_address.h"

namespace pv {

namespace {

constexpr int kWaitSliceMs = 1000;
// Datagrams taken by one receive call.
constexpr unsigned kReceiveBatch = 32;
// Receive calls on one binding per wake-up before the other bindings get their turn.
constexpr int kBatchesPerTurn = 64;

// The buffers of one batch receive: a slot of kBufferSize bytes per datagram. A longer datagram
// is cut by the kernel and flagged MSG_TRUNC, which is how it is recognised and dropped.
class ReceiveBatch {
 public:
  ReceiveBatch() : storage_(kReceiveBatch * TIdUDPServer::kBufferSize) {}

  // Takes what is waiting on `fd` without waiting; returns how many datagrams came (0 when none
  // or when the receive failed: its error is dropped).
  unsigned Receive(int fd) {
    for (unsigned i = 0; i < kReceiveBatch; ++i) {
      parts_[i].iov_base = storage_.data() + i * TIdUDPServer::kBufferSize;
      parts_[i].iov_len = TIdUDPServer::kBufferSize;
      messages_[i] = mmsghdr{};
      messages_[i].msg_hdr.msg_name = &from_[i];
      messages_[i].msg_hdr.msg_namelen = sizeof from_[i];
      messages_[i].msg_hdr.msg_iov = &parts_[i];
      messages_[i].msg_hdr.msg_iovlen = 1;
    }
    int got;
    do {
      got = recvmmsg(fd, messages_, kReceiveBatch, MSG_DONTWAIT, nullptr);
    } while (got < 0 && errno == EINTR);
    return got > 0 ? static_cast<unsigned>(got) : 0;
  }
  bool Truncated(unsigned i) const { return (messages_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0; }
  const uint8_t* Data(unsigned i) const { return storage_.data() + i * TIdUDPServer::kBufferSize; }
  size_t Size(unsigned i) const { return messages_[i].msg_len; }
  const sockaddr_in& From(unsigned i) const { return from_[i]; }

 private:
  std::vector<uint8_t> storage_;
  mmsghdr messages_[kReceiveBatch];
  iovec parts_[kReceiveBatch];
  sockaddr_in from_[kReceiveBatch];
};

// Hands every datagram waiting on `binding` to the read handler, a batch at a time.
void Drain(UdpListenerState& state, TIdSocketHandle& binding, ReceiveBatch& batch) {
  for (int turn = 0; turn < kBatchesPerTurn && !state.stop.load(); ++turn) {
    unsigned got = batch.Receive(binding.Handle());
    for (unsigned i = 0; i < got && !state.stop.load(); ++i) {
      if (batch.Truncated(i)) continue;  // longer than kBufferSize: never delivered
      if (!state.on_read) continue;
      try {
        state.on_read(TIdReceivedDatagram{batch.Data(i), batch.Size(i), batch.From(i), got == 1}, binding);
      } catch (...) {
        // A failing datagram never stops the listener.
      }
    }
    if (got < kReceiveBatch) break;  // the queue is empty
  }
}

}  // namespace

UdpListenerState::UdpListenerState() {
  wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd < 0) RaiseSocketError(errno);
}

UdpListenerState::~UdpListenerState() { CloseSocket(wake_fd); }

void UdpListenerState::Stop() {
  stop = true;
  uint64_t one = 1;
  // A full counter (impossible here) would still leave the descriptor readable.
  [[maybe_unused]] ssize_t written = write(wake_fd, &one, sizeof one);
}

void RunUdpListenerThread(const std::shared_ptr<UdpListenerState>& state) {
  const size_t count = state->bindings.size();
  std::vector<pollfd> waits(count + 1);
  ReceiveBatch batch;
  while (!state->stop.load()) {
    for (size_t i = 0; i < count; ++i) waits[i] = pollfd{state->bindings[i]->Handle(), POLLIN, 0};
    waits[count] = pollfd{state->wake_fd, POLLIN, 0};
    int ready = poll(waits.data(), waits.size(), kWaitSliceMs);
    if (ready < 0) {
      // Dropped like any receive error; the pause keeps a persistent failure from spinning.
      if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    for (size_t i = 0; i < count && !state->stop.load(); ++i) {
      if (waits[i].revents != 0) Drain(*state, *state->bindings[i], batch);
    }
  }
}

}  // namespace pv
