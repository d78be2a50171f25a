#include "raw_socket.h"

#include "instrument_io.h"
#include "log.h"
#include "socket_io.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <vector>

namespace visa {
namespace {

using std::chrono::milliseconds;

// While an answer is owed the instrument is asked at once after a command,
// then less and less often (each look at an idle channel costs the library a
// short wait, and a command may answer nothing); otherwise the socket wakes only for its bytes,
// for answers others collected for it, and to look at the clock.
constexpr std::chrono::microseconds kFirstAsk{50};
constexpr std::chrono::microseconds kSlowestAsk{100000};
constexpr std::chrono::microseconds kQuietWake{250000};
// How long a raw socket's turn at the instrument waits for the answers to
// its command before the next client's turn.
constexpr milliseconds kAnswerTurn{50};
// How long a command waits for an instrument that is rebooting or replugged.
constexpr milliseconds kReturnGrace{5000};
// An answer is sent whole; one that grows beyond this is sent in pieces.
constexpr std::size_t kLargestHeldAnswer = 1 << 20;

bool WaitForReturn(int instrument, const Gateway &gateway) {
  const auto deadline = Clock::now() + kReturnGrace;
  while (!gateway.stopping && Clock::now() < deadline) {
    if (InstrumentPresent(instrument)) return true;
    std::this_thread::sleep_for(milliseconds(100));
  }
  return false;
}

enum class Forwarded { Sent, Refused, Gone, Stopping };

// Sends the command bytes holding the instrument's lock for that moment, so
// that they wait their turn behind VXI-11 links that hold it, and behind
// another client's download (at most the gateway's bound for each). The turn
// is taken only once no download holds the instrument: the download's own
// client must still reach it meanwhile.
Forwarded Forward(SharedInstrument &shared, PartyId party, int instrument, std::string_view bytes,
                  const std::string &peer, Gateway &gateway) {
  const auto holder = static_cast<std::int32_t>(-party);
  const auto bound = gateway.options.socketLockWait;
  for (int attempt = 0; attempt < 2;) {
    if (!shared.AwaitNoDownload(party, Clock::now() + bound)) {
      if (gateway.stopping) return Forwarded::Stopping;
      Log("%s: command refused, another client's download has held %s for %llds; closing the socket",
          peer.c_str(), InstrumentName(instrument).c_str(), static_cast<long long>(bound.count()));
      return Forwarded::Refused;
    }
    if (!gateway.locks.Acquire(instrument, holder, bound)) {
      if (gateway.stopping) return Forwarded::Stopping;
      Log("%s: command refused, a VXI-11 link has held the lock of %s for %llds; closing the socket", peer.c_str(),
          InstrumentName(instrument).c_str(), static_cast<long long>(bound.count()));
      return Forwarded::Refused;
    }
    // A download that began meanwhile answers Busy at once: wait for it again.
    const auto outcome = shared.Send(party, bytes, false, Clock::now());
    // The answers are collected before the lock goes to the next taker, so
    // that a query from a raw socket is one turn like a locked VXI-11 query.
    if (outcome == SharedInstrument::SendOutcome::Done) shared.AwaitOwed(party, Clock::now() + kAnswerTurn);
    gateway.locks.Release(instrument, holder);
    switch (outcome) {
      case SharedInstrument::SendOutcome::Done:
        return Forwarded::Sent;
      case SharedInstrument::SendOutcome::Failed:
        Log("%s: write to %s failed, %zu byte(s) lost", peer.c_str(), InstrumentName(instrument).c_str(),
            bytes.size());
        return Forwarded::Sent;
      case SharedInstrument::SendOutcome::Busy:
        break;
      case SharedInstrument::SendOutcome::Absent:
        if (!WaitForReturn(instrument, gateway)) return gateway.stopping ? Forwarded::Stopping : Forwarded::Gone;
        bytes = {};  // the lines are kept; they go out again
        ++attempt;
        break;
    }
  }
  return Forwarded::Gone;
}

// Sends the answers the instrument gave this party, each answer whole and
// ending in a line feed. False when the client is gone; `moved` tells
// whether anything came.
bool SendAnswers(int fd, SharedInstrument &shared, PartyId party, std::string &answer, bool &moved) {
  moved = false;
  while (auto chunk = shared.Poll(party)) {
    moved = true;
    answer += chunk->bytes;
    const bool ends = chunk->endsAnswer;
    if (ends && !answer.empty() && answer.back() != '\n') answer += '\n';
    if (ends || answer.size() >= kLargestHeldAnswer) {
      if (!SendAll(fd, answer)) return false;
      answer.clear();
    }
  }
  return true;
}

}  // namespace

void ServeRawSocket(int fd, const std::string &peer, int instrument, Gateway &gateway) {
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  SharedInstrument &shared = gateway.instruments[instrument];
  const PartyId party = shared.Join(wake);
  std::vector<char> buffer(kMaxTransfer);
  std::string answer;
  bool spoken = false;
  auto lastActivity = Clock::now();
  std::chrono::microseconds ask{0};
  while (!gateway.stopping) {
    const bool expecting = shared.Expecting(party);
    pollfd waits[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    const auto wait = expecting ? ask : kQuietWake;
    const timespec timeout{static_cast<time_t>(wait.count() / 1000000), static_cast<long>(wait.count() % 1000000) * 1000};
    if (ppoll(waits, wake >= 0 ? 2 : 1, &timeout, nullptr) < 0 && errno != EINTR) break;
    ask = expecting ? std::clamp(ask * 2, kFirstAsk, kSlowestAsk) : std::chrono::microseconds(0);
    if (waits[1].revents != 0) {
      eventfd_t count;
      eventfd_read(wake, &count);
    }
    if (waits[0].revents != 0) {
      const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      lastActivity = Clock::now();
      spoken = true;
      const auto forwarded =
          Forward(shared, party, instrument, std::string_view(buffer.data(), static_cast<std::size_t>(got)), peer,
                  gateway);
      if (forwarded == Forwarded::Gone)
        Log("%s: %s is gone, closing its socket", peer.c_str(), InstrumentName(instrument).c_str());
      if (forwarded != Forwarded::Sent) break;
      ask = std::chrono::microseconds(0);
    }
    bool moved = false;
    if (!SendAnswers(fd, shared, party, answer, moved)) break;
    if (moved) lastActivity = Clock::now();

    const auto silent = Clock::now() - lastActivity;
    if (!spoken && silent >= gateway.options.silentTimeout) {
      Log("%s: socket to %s silent for %llds, closing it", peer.c_str(), InstrumentName(instrument).c_str(),
          static_cast<long long>(gateway.options.silentTimeout.count()));
      break;
    }
    if (spoken && gateway.options.idleTimeout.count() > 0 && silent >= gateway.options.idleTimeout) {
      Log("%s: socket to %s idle for %llds, closing it", peer.c_str(), InstrumentName(instrument).c_str(),
          static_cast<long long>(gateway.options.idleTimeout.count()));
      break;
    }
  }
  shared.Leave(party);
  if (wake >= 0) close(wake);
}

}  // namespace visa
