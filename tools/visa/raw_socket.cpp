#include "raw_socket.h"

#include "instrument_io.h"
#include "log.h"
#include "socket_io.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <vector>

namespace visa {
namespace {

using std::chrono::milliseconds;

// Answers are looked for at once after a command, then less and less often.
constexpr milliseconds kFirstPoll{0};
constexpr milliseconds kSlowestPoll{100};
// How long a command waits for an instrument that is rebooting or replugged.
constexpr milliseconds kReturnGrace{5000};
// The socket takes answers from the instrument only this long after its
// last command or answer, so that a socket that is merely open does not take
// the answers meant for a VXI-11 link to the same instrument.
constexpr milliseconds kAnswerWindow{10000};

bool WaitForReturn(int instrument, const Gateway &gateway) {
  const auto deadline = std::chrono::steady_clock::now() + kReturnGrace;
  while (!gateway.stopping && std::chrono::steady_clock::now() < deadline) {
    if (InstrumentPresent(instrument)) return true;
    std::this_thread::sleep_for(milliseconds(100));
  }
  return false;
}

// Sends the command bytes once no VXI-11 link holds the instrument's lock.
// False when the instrument is gone for good or the gateway stops.
bool Forward(int instrument, std::string_view bytes, const std::string &peer, Gateway &gateway) {
  while (!gateway.locks.WaitAccessible(instrument, DeviceLocks::kNoLink, milliseconds(250)))
    if (gateway.stopping) return false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    switch (WriteCommand(instrument, bytes)) {
      case WriteOutcome::Done:
        return true;
      case WriteOutcome::Failed:
        Log("%s: write to %s failed, %zu byte(s) lost", peer.c_str(), InstrumentName(instrument).c_str(),
            bytes.size());
        return true;
      case WriteOutcome::Absent:
        if (!WaitForReturn(instrument, gateway)) return false;
        break;
    }
  }
  return false;
}

}  // namespace

void ServeRawSocket(int fd, const std::string &peer, int instrument, Gateway &gateway) {
  std::vector<char> buffer(kMaxTransfer);
  milliseconds poll = kFirstPoll;
  bool insideAnswer = false;
  auto idleSince = std::chrono::steady_clock::now();
  auto expectAnswersUntil = std::chrono::steady_clock::time_point::min();
  while (!gateway.stopping) {
    const Readiness ready = WaitReadable(fd, poll);
    if (ready == Readiness::Failed) break;
    if (ready == Readiness::Readable) {
      const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      idleSince = std::chrono::steady_clock::now();
      if (!Forward(instrument, std::string_view(buffer.data(), static_cast<std::size_t>(got)), peer, gateway)) {
        Log("%s: %s is gone, closing its socket", peer.c_str(), InstrumentName(instrument).c_str());
        break;
      }
      poll = kFirstPoll;
      expectAnswersUntil = idleSince + kAnswerWindow;
      continue;
    }
    // Answers belong to the lock holder while a link holds the lock.
    bool answered = false;
    while (std::chrono::steady_clock::now() < expectAnswersUntil &&
           gateway.locks.WaitAccessible(instrument, DeviceLocks::kNoLink, milliseconds(0))) {
      auto chunk = ReadReply(instrument, kInterrogative);
      if (!chunk) break;
      std::string &bytes = chunk->bytes;
      if (chunk->endsAnswer && (bytes.empty() ? insideAnswer : bytes.back() != '\n')) bytes += '\n';
      insideAnswer = !chunk->endsAnswer;
      if (!SendAll(fd, bytes)) return;
      answered = true;
    }
    if (answered) {
      idleSince = std::chrono::steady_clock::now();
      expectAnswersUntil = idleSince + kAnswerWindow;
      poll = kFirstPoll;
    } else {
      poll = std::clamp(poll * 2, milliseconds(1), kSlowestPoll);
    }
    if (std::chrono::steady_clock::now() - idleSince >= gateway.options.idleTimeout) {
      Log("%s: socket to %s idle for %llds, closing it", peer.c_str(), InstrumentName(instrument).c_str(),
          static_cast<long long>(gateway.options.idleTimeout.count()));
      break;
    }
  }
}

}  // namespace visa
