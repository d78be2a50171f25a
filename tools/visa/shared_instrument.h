// One instrument shared by every network client of the gateway. The
// instrument has one command channel and one answer queue; here each client
// (a VXI-11 link or a raw socket: a "party") sends whole command lines only,
// and every answer goes to the party whose command it answers:
// - a party's bytes are kept until a line feed (or the END of a VXI-11
//   write) ends the line, so that no two parties' commands are glued;
// - answers the instrument gives belong to the party that sent the last
//   command; before another party's command goes out, what is owed to the
//   previous one is collected into its own queue;
// - a party that has left takes nothing more: what was owed to it is dropped;
// - a download ("DL,...") owns the instrument from its line until its final
//   answer: the party's bytes go out as they come and other parties wait.
#pragma once

#include "instrument_io.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace visa {

using PartyId = std::int64_t;
using Clock = std::chrono::steady_clock;

class SharedInstrument {
 public:
  explicit SharedInstrument(int instrument) : instrument_(instrument) {}
  SharedInstrument(const SharedInstrument &) = delete;
  SharedInstrument &operator=(const SharedInstrument &) = delete;

  // A new party. `wakeFd`, when not -1, is an eventfd written whenever an
  // answer is queued for the party by another party's thread.
  PartyId Join(int wakeFd = -1);
  // The party is gone: its queue, its unfinished line and whatever the
  // instrument still owes it are dropped; a download it held ends.
  void Leave(PartyId party);

  enum class SendOutcome {
    Done,    // every complete line went out (or there was none)
    Absent,  // the instrument is not present; the lines are kept for a retry
    Failed,  // the transfer failed; the lines are lost
    Busy,    // another party's download held the instrument until the deadline
  };
  // Takes the party's bytes; with `end` what is unfinished is a whole line.
  SendOutcome Send(PartyId party, std::string_view bytes, bool end, Clock::time_point deadline);

  // Waits until `deadline` while another party's download holds the
  // instrument; false when it still does.
  bool AwaitNoDownload(PartyId party, Clock::time_point deadline);

  enum class AwaitOutcome { Answer, TimedOut, Gone, Interrupted, Stopped };
  // Waits until `deadline` for a piece of an answer for the party (read from
  // the instrument when the party is the one it owes).
  AwaitOutcome Await(PartyId party, Clock::time_point deadline, const std::atomic<bool> &stopping, ReplyChunk &chunk);
  // Waits until `deadline` for the instrument to give every answer it owes
  // the party, into the party's queue.
  void AwaitOwed(PartyId party, Clock::time_point deadline);
  // True when a piece of an answer waits for the party (read from the
  // instrument if it owes the party one), left where it is.
  bool AnswerWaiting(PartyId party);
  // A piece of an answer at once, or nullopt.
  std::optional<ReplyChunk> Poll(PartyId party);
  // True while the instrument owes the party an answer it has not read yet.
  bool Expecting(PartyId party);
  // Device clear: empties the party's unfinished line, its queue and what
  // the instrument owes it.
  void Clear(PartyId party);
  // Drops complete lines kept after the instrument was found absent.
  void DropUnsent(PartyId party);
  // Ends the party's Await in progress at once (the abort channel).
  void Interrupt(PartyId party);

 private:
  struct Party {
    std::string unfinished;       // the bytes of a command line not yet ended
    std::size_t overflow = 0;     // bytes of that line beyond what is kept
    std::string held;             // complete lines not yet sent (the instrument was absent)
    std::deque<ReplyChunk> queue;  // answer pieces read for the party
    std::size_t queuedBytes = 0;
    int wakeFd = -1;
    bool awaiting = false;     // its thread waits in Await
    bool interrupted = false;  // that wait is to end at once
  };
  struct Download {
    PartyId party;
    bool acknowledged = false;  // the instrument took the request: image bytes follow
    Clock::time_point lastSent;
  };

  // The complete lines the new bytes finish, and how many there are.
  std::string CompleteLines(Party &party, std::string_view bytes, bool end, int &lines, bool &download);
  AwaitOutcome AwaitLocked(std::unique_lock<std::mutex> &lock, PartyId party, Clock::time_point deadline,
                           const std::atomic<bool> &stopping, ReplyChunk &chunk);
  // Reads one piece of an answer into the queue of the party it belongs to.
  // `wake`: the party is told through its wake descriptor (another party's
  // thread fetched for it).
  bool FetchLocked(bool wake = true);
  // Collects what the instrument owes before a command of `party` goes out.
  // With `everything`, until the instrument holds nothing more.
  void HandOverLocked(std::unique_lock<std::mutex> &lock, bool everything);
  SendOutcome WriteLocked(std::string_view bytes);
  void Deliver(PartyId owner, ReplyChunk chunk, bool wake);

  const int instrument_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<PartyId, Party> parties_;
  PartyId nextParty_ = 1;
  PartyId owner_ = 0;  // the party the instrument's answers belong to
  int owed_ = 0;       // command lines of the owner whose answers have not ended yet
  std::optional<Download> download_;
  std::optional<char> answerFirstByte_;  // of the answer being read, once it began
  bool sending_ = false;                 // a party's command is going out
};

// The gateway's instruments, TAVRIN-0 ... TAVRIN-31.
class SharedInstruments {
 public:
  SharedInstruments();
  SharedInstrument &operator[](int instrument) { return *instruments_[static_cast<std::size_t>(instrument)]; }

 private:
  std::unique_ptr<std::unique_ptr<SharedInstrument>[]> instruments_;
};

}  // namespace visa
