#include "shared_instrument.h"

#include "log.h"

#include <sys/eventfd.h>

#include <algorithm>
#include <cctype>

namespace visa {
namespace {

using std::chrono::milliseconds;

// The instrument takes command lines of up to 64 KiB and answers a longer
// one with its own error; one byte more than that is kept of a longer line,
// so that the instrument still sees it is too long.
constexpr std::size_t kLongestLineKept = 65536 + 1;
// How long an answer still owed to one party is waited for before another
// party's command goes out (an instrument answers a query within
// milliseconds; a command that answers nothing costs this wait once).
constexpr milliseconds kAnswerHandOver{50};
// Answer bytes kept for a party that does not read them; more are dropped.
constexpr std::size_t kMostQueuedBytes = 4 * 1024 * 1024;
// A device clear empties at most this many pieces of answers.
constexpr int kClearReads = 256;
// While a read waits, the instrument is asked again at most this far apart,
// and whether it is still present every so often.
constexpr auto kSlowestAsk = std::chrono::microseconds(10000);
constexpr milliseconds kPresenceCheck{100};
// A download whose client sent nothing for this long may be over without
// its client reading the final answer.
constexpr milliseconds kQuietDownload{500};

// The keyword of a command line, as the instrument parses it: up to the
// first blank or comma, any letter case.
bool IsDownloadLine(std::string_view line) {
  const auto first = line.find_first_not_of(" \t");
  if (first == std::string_view::npos) return false;
  line.remove_prefix(first);
  const auto end = line.find_first_of(" \t,\r\n");
  const std::string_view keyword = line.substr(0, end);
  return keyword.size() == 2 && std::toupper(static_cast<unsigned char>(keyword[0])) == 'D' &&
         std::toupper(static_cast<unsigned char>(keyword[1])) == 'L';
}

bool IsBlank(std::string_view line) { return line.find_first_not_of(" \t\r") == std::string_view::npos; }

}  // namespace

PartyId SharedInstrument::Join(int wakeFd) {
  std::lock_guard lock(mutex_);
  const PartyId id = nextParty_++;
  parties_[id].wakeFd = wakeFd;
  return id;
}

void SharedInstrument::Leave(PartyId party) {
  std::lock_guard lock(mutex_);
  parties_.erase(party);
  if (download_ && download_->party == party) download_.reset();
  // The owner stays: answers still owed to the party are read and dropped
  // before the next party's command goes out.
  changed_.notify_all();
}

std::string SharedInstrument::CompleteLines(Party &party, std::string_view bytes, bool end, int &lines,
                                            bool &download) {
  std::string complete;
  lines = 0;
  download = false;
  auto finishLine = [&] {
    if (!IsBlank(party.unfinished)) ++lines;
    download = IsDownloadLine(party.unfinished);
    complete += party.unfinished;
    complete += '\n';
    party.unfinished.clear();
    party.overflow = 0;
  };
  while (!bytes.empty() && !download) {
    const auto feed = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, feed);
    const std::size_t room = kLongestLineKept - std::min(kLongestLineKept, party.unfinished.size());
    party.unfinished.append(piece.substr(0, room));
    party.overflow += piece.size() - std::min(room, piece.size());
    if (feed == std::string_view::npos) {
      bytes = {};
      break;
    }
    bytes.remove_prefix(feed + 1);
    finishLine();
  }
  // What follows a download line is the image: it goes out as it came.
  if (download) {
    complete.append(bytes);
    return complete;
  }
  if (end && !party.unfinished.empty()) finishLine();
  return complete;
}

void SharedInstrument::Deliver(PartyId owner, ReplyChunk chunk, bool wake) {
  auto it = parties_.find(owner);
  if (it == parties_.end()) return;  // a party that left takes nothing more
  Party &party = it->second;
  if (party.queuedBytes + chunk.bytes.size() > kMostQueuedBytes) {
    Log("%s: %zu answer byte(s) dropped for a client that does not read its answers",
        InstrumentName(instrument_).c_str(), chunk.bytes.size());
    return;
  }
  party.queuedBytes += chunk.bytes.size();
  party.queue.push_back(std::move(chunk));
  if (wake && party.wakeFd >= 0) eventfd_write(party.wakeFd, 1);
  changed_.notify_all();
}

bool SharedInstrument::FetchLocked(bool wake) {
  if (owner_ == 0) return false;  // no party has asked anything yet
  auto chunk = ReadReply(instrument_, kInterrogative);
  if (!chunk) return false;
  if (chunk->endsAnswer) {
    if (owed_ > 0) --owed_;
    if (download_) {
      // The first answer after the download line accepts or refuses it; the
      // next one is the final answer, after which the download is over.
      const bool accepted = answerFirstByte_.value_or(chunk->bytes.empty() ? '\0' : chunk->bytes.front()) == '0';
      if (!download_->acknowledged && accepted)
        download_->acknowledged = true;
      else
        download_.reset();
    }
    answerFirstByte_.reset();
  } else if (!answerFirstByte_ && !chunk->bytes.empty()) {
    answerFirstByte_ = chunk->bytes.front();
  }
  Deliver(owner_, std::move(*chunk), wake);
  return true;
}

void SharedInstrument::HandOverLocked(std::unique_lock<std::mutex> &lock, bool everything) {
  // A read of an idle channel costs the library a wait: with nothing owed,
  // the instrument is asked only when everything must be collected.
  const auto deadline = Clock::now() + kAnswerHandOver;
  while (owed_ > 0 || everything) {
    if (FetchLocked()) continue;
    if (owed_ == 0 || Clock::now() >= deadline) break;
    changed_.wait_for(lock, milliseconds(1));
  }
  owed_ = 0;
}

SharedInstrument::SendOutcome SharedInstrument::WriteLocked(std::string_view bytes) {
  bool first = true;
  while (!bytes.empty()) {
    const std::string_view piece = bytes.substr(0, kMaxTransfer);
    switch (WriteCommand(instrument_, piece)) {
      case WriteOutcome::Done:
        break;
      case WriteOutcome::Absent:
        return first ? SendOutcome::Absent : SendOutcome::Failed;
      case WriteOutcome::Failed:
        return SendOutcome::Failed;
    }
    bytes.remove_prefix(piece.size());
    first = false;
  }
  return SendOutcome::Done;
}

bool SharedInstrument::AwaitNoDownload(PartyId id, Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  while (download_ && download_->party != id) {
    if (Clock::now() >= deadline) return false;
    if (!sending_ && Clock::now() - download_->lastSent >= kQuietDownload) FetchLocked();
    changed_.wait_for(lock, milliseconds(2));
  }
  return true;
}

SharedInstrument::SendOutcome SharedInstrument::Send(PartyId id, std::string_view bytes, bool end,
                                                     Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  // One party's command goes out at a time; another party's download holds
  // the instrument until its final answer (collected here if need be).
  while (sending_ || (download_ && download_->party != id)) {
    // Another party's command is out within its hand-over's bound; only a
    // download is waited for no longer than the deadline.
    if (!sending_ && Clock::now() >= deadline) return SendOutcome::Busy;
    // The download's own client reads its answers; only when it has been
    // quiet a while is its final answer looked for here.
    if (!sending_ && download_ && Clock::now() - download_->lastSent >= kQuietDownload) FetchLocked();
    changed_.wait_for(lock, milliseconds(2));
  }
  auto it = parties_.find(id);
  if (it == parties_.end()) return SendOutcome::Failed;
  Party &party = it->second;
  const bool downloading = download_ && download_->party == id;
  int lines = 0;
  bool download = false;
  if (downloading) {
    party.held.append(bytes);
    download_->lastSent = Clock::now();
  } else {
    party.held += CompleteLines(party, bytes, end, lines, download);
  }
  if (party.held.empty()) return SendOutcome::Done;

  sending_ = true;
  // Answers owed to the previous party are its own; before a download, the
  // instrument is emptied so that its first answer is the acknowledgement.
  if (!downloading && (owner_ != id || download)) HandOverLocked(lock, download);
  const std::string out = std::move(party.held);
  party.held.clear();
  const SendOutcome outcome = WriteLocked(out);
  if (outcome == SendOutcome::Absent) {
    // Parties may have come and gone while the mutex was released, but this
    // one is still here: only its own thread removes it.
    if (auto again = parties_.find(id); again != parties_.end()) again->second.held = out;
  } else if (outcome == SendOutcome::Done && !downloading) {
    if (owner_ != id) owed_ = 0;
    owner_ = id;
    owed_ += lines;
    if (download) {
      download_ = Download{id, false, Clock::now()};
      answerFirstByte_.reset();
    }
  }
  sending_ = false;
  changed_.notify_all();
  return outcome;
}

SharedInstrument::AwaitOutcome SharedInstrument::Await(PartyId id, Clock::time_point deadline,
                                                       const std::atomic<bool> &stopping, ReplyChunk &chunk) {
  std::unique_lock lock(mutex_);
  if (auto it = parties_.find(id); it != parties_.end()) it->second.awaiting = true;
  const AwaitOutcome outcome = AwaitLocked(lock, id, deadline, stopping, chunk);
  if (auto it = parties_.find(id); it != parties_.end()) {
    it->second.awaiting = false;
    it->second.interrupted = false;
  }
  return outcome;
}

SharedInstrument::AwaitOutcome SharedInstrument::AwaitLocked(std::unique_lock<std::mutex> &lock, PartyId id,
                                                             Clock::time_point deadline,
                                                             const std::atomic<bool> &stopping, ReplyChunk &chunk) {
  auto pause = std::chrono::microseconds(250);
  auto nextPresenceCheck = Clock::now() + kPresenceCheck;
  while (true) {
    auto it = parties_.find(id);
    if (it == parties_.end()) return AwaitOutcome::Gone;
    Party &party = it->second;
    if (party.interrupted) return AwaitOutcome::Interrupted;
    if (!party.queue.empty()) {
      chunk = std::move(party.queue.front());
      party.queue.pop_front();
      party.queuedBytes -= chunk.bytes.size();
      return AwaitOutcome::Answer;
    }
    if (owner_ == id && !sending_ && FetchLocked(false)) continue;
    if (stopping) return AwaitOutcome::Stopped;
    const auto now = Clock::now();
    if (now >= nextPresenceCheck || now >= deadline) {
      lock.unlock();
      const bool present = InstrumentPresent(instrument_);
      lock.lock();
      if (!present) return AwaitOutcome::Gone;
      if (now >= deadline) return AwaitOutcome::TimedOut;
      nextPresenceCheck = now + kPresenceCheck;
      continue;
    }
    changed_.wait_for(lock, std::min<Clock::duration>(pause, deadline - now));
    pause = std::min<std::chrono::microseconds>(pause * 2, kSlowestAsk);
  }
}

std::optional<ReplyChunk> SharedInstrument::Poll(PartyId id) {
  std::lock_guard lock(mutex_);
  auto it = parties_.find(id);
  if (it == parties_.end()) return std::nullopt;
  // A read of an idle channel costs the library a wait: the instrument is
  // asked only while it owes the party an answer.
  const bool owes = owner_ == id && !sending_ && (owed_ > 0 || download_);
  if (it->second.queue.empty() && !(owes && FetchLocked(false))) return std::nullopt;
  Party &party = parties_.at(id);
  if (party.queue.empty()) return std::nullopt;
  ReplyChunk chunk = std::move(party.queue.front());
  party.queue.pop_front();
  party.queuedBytes -= chunk.bytes.size();
  return chunk;
}

void SharedInstrument::AwaitOwed(PartyId id, Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  auto pause = std::chrono::microseconds(50);
  while (owner_ == id && owed_ > 0 && parties_.contains(id)) {
    if (!sending_ && FetchLocked(false)) continue;
    const auto now = Clock::now();
    if (now >= deadline) return;
    changed_.wait_for(lock, std::min<Clock::duration>(pause, deadline - now));
    pause = std::min<std::chrono::microseconds>(pause * 2, kSlowestAsk);
  }
}

bool SharedInstrument::AnswerWaiting(PartyId id) {
  std::lock_guard lock(mutex_);
  auto it = parties_.find(id);
  if (it == parties_.end()) return false;
  if (it->second.queue.empty() && owner_ == id && !sending_ && (owed_ > 0 || download_)) FetchLocked(false);
  return !parties_.at(id).queue.empty();
}

bool SharedInstrument::Expecting(PartyId id) {
  std::lock_guard lock(mutex_);
  auto it = parties_.find(id);
  if (it == parties_.end()) return false;
  return !it->second.queue.empty() || (owner_ == id && (owed_ > 0 || download_));
}

void SharedInstrument::Clear(PartyId id) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !sending_; });
  auto it = parties_.find(id);
  if (it == parties_.end()) return;
  if (owner_ == id) {
    for (int i = 0; i < kClearReads && FetchLocked(); ++i) {
    }
    owed_ = 0;
  }
  if (download_ && download_->party == id) download_.reset();
  Party &party = it->second;
  party.unfinished.clear();
  party.overflow = 0;
  party.held.clear();
  party.queue.clear();
  party.queuedBytes = 0;
}

void SharedInstrument::DropUnsent(PartyId id) {
  std::lock_guard lock(mutex_);
  if (auto it = parties_.find(id); it != parties_.end()) it->second.held.clear();
}

void SharedInstrument::Interrupt(PartyId id) {
  std::lock_guard lock(mutex_);
  auto it = parties_.find(id);
  if (it == parties_.end()) return;
  // Only a read in progress is ended; a later one is not.
  if (it->second.awaiting) it->second.interrupted = true;
  changed_.notify_all();
}

SharedInstruments::SharedInstruments()
    : instruments_(std::make_unique<std::unique_ptr<SharedInstrument>[]>(kMaxInstruments)) {
  for (int n = 0; n < kMaxInstruments; ++n)
    instruments_[static_cast<std::size_t>(n)] = std::make_unique<SharedInstrument>(n);
}

}  // namespace visa
