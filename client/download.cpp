// The firmware download exchange as a state object.
#include "download.h"

#include <cstring>
#include <string>

namespace Client {

namespace Exchange = Download_Exchange;

bool Image_Bytes::Read(char *into, std::size_t count) {
  if (count > bytes_.size() - at_) return false;
  std::memcpy(into, bytes_.data() + at_, count);
  at_ += count;
  return true;
}

Download::Download(Instrument &instrument, std::string command_line, Image_Source &image, Options options)
    : instrument_(instrument), command_line_(std::move(command_line)), image_(image), options_(options) {}

bool Download::Waiting() const {
  return stage_ == Stage::Acknowledgement || stage_ == Stage::Final_Answer || stage_ == Stage::Check ||
         stage_ == Stage::Pause;
}

void Download::Enter(Stage stage) {
  stage_ = stage;
  countdown_started_ = false;
  remaining_ms_ = 0;
  if (stage == Stage::Acknowledgement || stage == Stage::Final_Answer) answer_.clear();
}

void Download::Fail(Failure failure) {
  failure_ = failure;
  stage_ = Stage::Failed;
}

void Download::Start() {
  if (stage_ != Stage::Not_Started) return;
  total_ = image_.Size();
  dropped_ = instrument_.Drain(Channel::Interrogative);
  if (instrument_.Write(command_line_) != Write_Outcome::Done) return Fail(Failure::Command_Not_Written);
  Enter(Stage::Acknowledgement);
}

void Download::Tick() {
  switch (stage_) {
    case Stage::Acknowledgement:
      return Answer_Tick(Exchange::kAcknowledgementWaitMs);
    case Stage::Final_Answer:
      return Answer_Tick(Exchange::kFinalAnswerWaitMs);
    case Stage::Check:
      return Check_Tick();
    case Stage::Pause:
      return Pause_Tick();
    default:
      return;  // nothing to wait for
  }
}

// The first tick of a wait starts its countdown; each later one loses a tick
// and reads the interrogative channel once.
void Download::Answer_Tick(int budget_ms) {
  if (!countdown_started_) {
    countdown_started_ = true;
    remaining_ms_ = budget_ms;
    return;
  }
  remaining_ms_ -= Exchange::kWaitTickMs;
  const std::optional<std::string> read = instrument_.Poll(Channel::Interrogative, kAnswerReadBytes);
  // The text ends at the first zero byte, as the reply buffer is zero-filled.
  std::string text;
  if (read) {
    text = read->substr(0, read->find('\0'));
    answer_ = text;
  }
  const Exchange::Wait_Outcome outcome = Exchange::Judge_Read(read.has_value(), text, remaining_ms_);
  if (outcome == Exchange::Wait_Outcome::Pending) return;
  const bool accepted = outcome == Exchange::Wait_Outcome::Succeeded;
  if (stage_ == Stage::Acknowledgement) {
    if (!accepted) return Fail(text.empty() ? Failure::Timed_Out : Failure::Refused);
    return Enter(Stage::Image);
  }
  if (!accepted) return Fail(text.empty() ? Failure::Timed_Out : Failure::Refused);
  Final_Answer_Accepted();
}

void Download::Final_Answer_Accepted() {
  // A stopped image is partial whatever the instrument says.
  if (failure_ != Failure::None) return Fail(failure_);
  if (options_.check) return Enter(Stage::Check);
  Succeed();
}

void Download::Succeed() {
  if (options_.pause) return Enter(Stage::Pause);
  stage_ = Stage::Succeeded;
}

void Download::Send_Next_Chunk() {
  if (stage_ != Stage::Image) return;
  if (cancel_requested_) {
    failure_ = Failure::Cancelled;
    return Enter(Stage::Final_Answer);
  }
  const std::int64_t size = Exchange::Chunk_Bytes(total_ - bytes_sent_);
  if (size == 0) return Enter(Stage::Final_Answer);
  std::string chunk(static_cast<std::size_t>(size), '\0');
  if (!image_.Read(chunk.data(), chunk.size())) return Fail(Failure::Image_Unreadable);
  if (instrument_.Write(chunk) != Write_Outcome::Done) {
    failure_ = Failure::Chunk_Not_Written;
    return Enter(Stage::Final_Answer);
  }
  crc_.Add(chunk);
  bytes_sent_ += size;
  if (!Exchange::Advance_Sent_Count(sent_count_)) return Fail(Failure::Sent_Count_Overflow);
  if (bytes_sent_ >= total_) Enter(Stage::Final_Answer);
}

void Download::Cancel() {
  if (stage_ == Stage::Image) cancel_requested_ = true;
}

void Download::Abandon() {
  if (!Finished()) Fail(Failure::Abandoned);
}

double Download::Percentage() const { return Exchange::Percentage(sent_count_, total_); }

// The check: the question goes out once the instrument is listed (it may be
// away for a reset), then each tick reads once until a whole answer line has
// come. An instrument that leaves the bus before answering is asked again
// when it is back; one that stays listed and says nothing for kCheckReads
// reads, or that is not back within kCheckWaitMs, leaves the image unchecked.
void Download::Check_Tick() {
  if (!countdown_started_) {
    countdown_started_ = true;
    remaining_ms_ = kCheckWaitMs;
    question_sent_ = false;
    return;
  }
  remaining_ms_ -= Exchange::kWaitTickMs;
  bool present = false;
  try {
    present = instrument_.Present();
  } catch (const std::exception &) {
    present = false;  // a library that cannot list lists nothing
  }
  if (!question_sent_) {
    if (present && instrument_.Write(Image_Check::kQuery) == Write_Outcome::Done) {
      question_sent_ = true;
      quiet_reads_ = 0;
      answer_.clear();
    }
  } else {
    const std::optional<std::string> read = instrument_.Poll(Channel::Interrogative, kAnswerReadBytes);
    const std::string text = read ? read->substr(0, read->find('\0')) : std::string();
    if (!text.empty()) {
      answer_ += text;
      quiet_reads_ = 0;
      if (answer_.find('\n') != std::string::npos) return Check_Ended(true);
    } else if (!present) {
      question_sent_ = false;
    } else if (++quiet_reads_ >= kCheckReads) {
      remaining_ms_ = 0;
    }
  }
  if (remaining_ms_ <= 0) Check_Ended(false);
}

void Download::Check_Ended(bool answered) {
  held_ = answered ? Image_Check::Entry(answer_, Image_Check::Type_Named_In(command_line_)) : std::nullopt;
  if (held_ && *held_ != crc_.Summary()) return Fail(Failure::Image_Mismatch);
  checked_ = held_ ? Check_Outcome::Verified : Check_Outcome::Unanswered;
  options_.check = false;
  Succeed();
}

void Download::Pause_Tick() {
  if (!countdown_started_) {
    countdown_started_ = true;
    remaining_ms_ = Exchange::kCompletePauseMs;
    return;
  }
  remaining_ms_ -= Exchange::kWaitTickMs;
  if (remaining_ms_ <= 0) stage_ = Stage::Succeeded;
}

std::string Download::Reason() const {
  switch (failure_) {
    case Failure::Command_Not_Written:
    case Failure::Chunk_Not_Written:
      return std::string(Exchange::kUnableToWrite);
    case Failure::Refused:
    case Failure::Timed_Out:
      return Exchange::Reason(answer_);
    case Failure::Image_Mismatch:
      return held_ ? Image_Check::Mismatch_Text(crc_.Summary(), *held_) : std::string();
    default:
      return {};
  }
}

}  // namespace Client
