// The firmware download exchange with an instrument, as rules that every
// program downloading an image follows (the console's status window, the
// command line). What crosses the connection, in order:
//
//   1. command channel: the command line, e.g. "DL,FPGA,RESET" and a line
//      feed, in one write;
//   2. interrogative channel: the acknowledgement, read once per wait tick,
//      at most kAcknowledgementReads reads;
//   3. command channel: the image, unchanged, in writes of kChunkBytes (the
//      last one holding the remaining 1 to kChunkBytes bytes);
//   4. interrogative channel: the final answer, at most kFinalAnswerReads
//      reads;
//   5. "Complete" on show for kCompletePauseMs, counted in wait ticks.
//
// An answer is judged on the text of one read: the first read that succeeds
// ends the wait, accepted when its text holds "0" directly followed by a line
// feed. Texts are 8-bit: one byte per character.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Download_Exchange {

// ---- The command line ------------------------------------------------------

enum class Image_Type : int { IP = 0, DSP = 1, FPGA = 2 };
inline constexpr int kImageTypeCount = 3;

// "DL,IP", "DL,DSP" or "DL,FPGA".
std::string_view Command_Word(Image_Type type);
// "RESET" when the instrument restarts after the download, else "NORESET".
std::string_view Reset_Word(bool reset);
// The command word, one comma, the reset word and one line feed; nothing
// else (no carriage return, size or checksum), whatever the image's size.
std::string Command_Line(std::string_view command_word, std::string_view reset_word);
std::string Command_Line(Image_Type type, bool reset);

// The image type named "IP", "DSP" or "FPGA" (letter case as written).
std::optional<Image_Type> Image_Type_Named(std::string_view name);

// ---- Answers ---------------------------------------------------------------

// Whether an answer accepts: it holds the character "0" directly followed by
// a line feed, anywhere (a plain, case-sensitive substring search).
bool Is_Accepted(std::string_view answer);

// How long each wait runs, counted in ticks of kWaitTickMs: the countdown
// starts at the budget and loses kWaitTickMs on every counting tick, so the
// waits make kAcknowledgementReads and kFinalAnswerReads reads at most.
inline constexpr int kWaitTickMs = 100;
inline constexpr int kAcknowledgementWaitMs = 1000;
inline constexpr int kFinalAnswerWaitMs = 10000;
inline constexpr int kCompletePauseMs = 2000;
inline constexpr int kAcknowledgementReads = kAcknowledgementWaitMs / kWaitTickMs;
inline constexpr int kFinalAnswerReads = kFinalAnswerWaitMs / kWaitTickMs;

enum class Wait_Outcome : std::int16_t { Pending = 0, Succeeded = 1, Failed = 2 };

// The outcome of one counting tick of an answer wait, after the countdown has
// lost its tick (`remaining_ms` is what is left): a successful read ends the
// wait, accepted or refused by its text; without one the wait fails once
// nothing is left, even a read that succeeds on the last tick counting.
Wait_Outcome Judge_Read(bool read_succeeded, std::string_view text, int remaining_ms);

// ---- The image's writes and the progress ----------------------------------

inline constexpr std::int64_t kChunkBytes = 1024;

// The size of the next write when `remaining` bytes of the image are left to
// send: kChunkBytes, or fewer at the end; 0 once nothing is left.
std::int64_t Chunk_Bytes(std::int64_t remaining);

// The sent count after one more write. Every write counts kChunkBytes, the
// last, shorter one too; the count is a 32-bit signed number, so false (and
// the count unchanged) when it would pass the largest one.
bool Advance_Sent_Count(std::int32_t &sent_count);

// The progress after a write: sent count / total length x 100, in double
// precision, and exactly 100 when it would be more (the last write counts a
// whole chunk). A total of 0 or less gives 100.
double Percentage(std::int32_t sent_count, std::int64_t total_length);

// The percentage as shown: divided by 100 and formatted "0%", so a whole
// number (a half rounded away from zero) and a percent sign: 34.13 is "34%".
std::string Percent_Text(double percentage);

// ---- Texts shown -----------------------------------------------------------

inline constexpr std::string_view kSending = "Sending... ";  // followed by the path
inline constexpr std::string_view kComplete = "Complete";
inline constexpr std::string_view kErrorPrefix = "Error : ";
inline constexpr std::string_view kTimedOut = "Timed out";
inline constexpr std::string_view kUnableToWrite = "Unable to write to device";
inline constexpr std::string_view kUnableToLocate = "Unable to locate file: ";  // followed by the path

// The reason shown for an answer text: the text itself, or "Timed out" when
// it is empty (no answer, or an empty one).
std::string Reason(std::string_view answer_text);
// "Error : " followed by Reason(reason).
std::string Error_Text(std::string_view reason);
// "Unable to locate file: " followed by the path.
std::string Unable_To_Locate(std::string_view path);

}  // namespace Download_Exchange
