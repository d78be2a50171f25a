// The firmware download exchange as a state object that its caller drives:
// Start() once, then Send_Next_Chunk() while Sending() and Tick() once per
// wait tick (kWaitTickMs apart: the console's 100 ms timer, the command
// line's loop, or a test calling it with no timer at all) while Waiting().
//
//   Start()            drains the interrogative channel (what it dropped is
//                      kept: a stale answer there would be taken for the
//                      acknowledgement) and sends the download line;
//   Acknowledgement    the first tick starts the countdown, each later tick
//                      reads once: at most kAcknowledgementReads reads;
//   Image              one chunk per Send_Next_Chunk();
//   Final_Answer       as the acknowledgement, kFinalAnswerReads reads;
//   Check (asked for)  "FW?" once the instrument is listed, then one read a
//                      tick until the answer line has come;
//   Pause (asked for)  kCompletePauseMs of ticks with "Complete" on show;
//   Succeeded or Failed.
//
// An answer is judged on the text of one read, as Download_Exchange says. A
// chunk that cannot be written, or a Cancel(), stops the image; the final
// answer is still awaited, and a failed final wait replaces that failure.
#pragma once

#include "download_exchange.h"
#include "image_check.h"
#include "instrument.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Client {

// Where the image's bytes come from, in order.
class Image_Source {
 public:
  virtual ~Image_Source() = default;
  virtual std::int64_t Size() const = 0;
  // The next `count` bytes; false when they cannot be had.
  virtual bool Read(char *into, std::size_t count) = 0;
};

// An image held in memory.
class Image_Bytes final : public Image_Source {
 public:
  explicit Image_Bytes(std::string_view bytes) : bytes_(bytes) {}
  std::int64_t Size() const override { return static_cast<std::int64_t>(bytes_.size()); }
  bool Read(char *into, std::size_t count) override;

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
};

class Download {
 public:
  enum class Stage { Not_Started, Acknowledgement, Image, Final_Answer, Check, Pause, Succeeded, Failed };
  enum class Failure {
    None,
    Command_Not_Written,  // the download line did not go
    Refused,              // an answer without "0" and a line feed (Answer())
    Timed_Out,            // no answer within the reads, or an empty one
    Chunk_Not_Written,    // the image stopped at a failed write
    Cancelled,            // Cancel() stopped the image
    Image_Unreadable,     // the source could not give the next bytes
    Sent_Count_Overflow,  // the 32-bit sent count would pass its largest value
    Image_Mismatch,       // the check found another image than the one sent
    Abandoned,            // Abandon()
  };
  enum class Check_Outcome { Not_Made, Verified, Unanswered };

  struct Options {
    bool check = false;  // ask "FW?" after the final answer and compare
    bool pause = false;  // end with the "Complete" pause
  };

  // How long the check waits for the instrument (back from a reset, say)
  // and how many reads it makes for the answer once the question is out.
  static constexpr int kCheckWaitMs = 10000;
  static constexpr int kCheckReads = 10;

  Download(Instrument &instrument, std::string command_line, Image_Source &image, Options options);
  Download(Instrument &instrument, std::string command_line, Image_Source &image)
      : Download(instrument, std::move(command_line), image, Options{}) {}

  void Start();
  void Tick();
  void Send_Next_Chunk();
  // Stops the image after the chunk under way.
  void Cancel();
  // Ends the download at once, as failed; nothing more is sent or read.
  void Abandon();

  Stage Current_Stage() const { return stage_; }
  bool Waiting() const;
  bool Sending() const { return stage_ == Stage::Image; }
  bool Finished() const { return stage_ == Stage::Succeeded || stage_ == Stage::Failed; }
  // The failure so far; it may be set while the final answer is awaited.
  Failure Failed_With() const { return failure_; }
  // What the failure says after "Error : ": the instrument's answer, "Timed
  // out", "Unable to write to device", the mismatch; empty for the rest,
  // whose words are the caller's.
  std::string Reason() const;

  // The answer read during the current or last wait.
  const std::string &Answer() const { return answer_; }
  // What the drain before the download line dropped.
  const std::string &Dropped() const { return dropped_; }
  const std::string &Command_Line() const { return command_line_; }
  std::int64_t Total_Bytes() const { return total_; }
  std::int64_t Bytes_Sent() const { return bytes_sent_; }
  // The progress after the last chunk, as Download_Exchange figures it.
  double Percentage() const;
  int Remaining_Ms() const { return remaining_ms_; }
  // Whether the running wait's countdown has started.
  bool Countdown_Started() const { return countdown_started_; }
  Check_Outcome Checked() const { return checked_; }
  Image_Check::Image_Summary Sent() const { return crc_.Summary(); }
  const std::optional<Image_Check::Image_Summary> &Held() const { return held_; }

 private:
  void Enter(Stage stage);
  void Fail(Failure failure);
  void Answer_Tick(int budget_ms);
  void Final_Answer_Accepted();
  void Check_Tick();
  void Check_Ended(bool answered);
  void Pause_Tick();
  void Succeed();

  Instrument &instrument_;
  std::string command_line_;
  Image_Source &image_;
  Options options_;
  Stage stage_ = Stage::Not_Started;
  Failure failure_ = Failure::None;
  std::string answer_;
  std::string dropped_;
  std::int64_t total_ = 0;
  std::int64_t bytes_sent_ = 0;
  std::int32_t sent_count_ = 0;
  Image_Check::Crc32 crc_;
  bool cancel_requested_ = false;
  bool countdown_started_ = false;
  int remaining_ms_ = 0;
  bool question_sent_ = false;
  int quiet_reads_ = 0;
  Check_Outcome checked_ = Check_Outcome::Not_Made;
  std::optional<Image_Check::Image_Summary> held_;
};

}  // namespace Client
