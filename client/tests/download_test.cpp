// The download exchange's rules and the download state object, one tick at a
// time against the scripted library: no timers at all.
#include "scripted_library.h"

#include <download.h>
#include <download_exchange.h>

#include <gtest/gtest.h>

#include <tuple>

using namespace Client;
namespace Exchange = Download_Exchange;
using Stage = Download::Stage;
using Failure = Download::Failure;

namespace {

std::string Image(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char &b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<char>(x >> 24);
  }
  return bytes;
}

// Drives a download to its end as its callers do: chunks while it sends,
// ticks while it waits. Returns the percentages shown after each chunk and
// the ticks made.
struct Driven {
  std::vector<std::string> shown;
  int ticks = 0;
};
Driven Drive(Download &download) {
  Driven run;
  download.Start();
  while (!download.Finished() && run.ticks < 10000) {
    if (download.Sending()) {
      const std::int64_t before = download.Bytes_Sent();
      download.Send_Next_Chunk();
      if (download.Bytes_Sent() > before) run.shown.push_back(Exchange::Percent_Text(download.Percentage()));
    } else {
      download.Tick();
      ++run.ticks;
    }
  }
  return run;
}

}  // namespace

// ---- The exchange's rules -------------------------------------------------------------

TEST(Exchange_Rules, Command_lines_byte_for_byte) {
  EXPECT_EQ(Exchange::Command_Line(Exchange::Image_Type::FPGA, true), "DL,FPGA,RESET\n");
  EXPECT_EQ(Exchange::Command_Line(Exchange::Image_Type::DSP, false), "DL,DSP,NORESET\n");
  EXPECT_EQ(Exchange::Command_Line(Exchange::Image_Type::IP, true), "DL,IP,RESET\n");
  EXPECT_EQ(Exchange::Command_Line("DL,IP", "NORESET"), "DL,IP,NORESET\n");
  EXPECT_EQ(Exchange::Image_Type_Named("DSP"), Exchange::Image_Type::DSP);
  EXPECT_EQ(Exchange::Image_Type_Named("dsp"), std::nullopt);
}

TEST(Exchange_Rules, Answers_and_reasons) {
  for (const char *accepted : {"0\n", "10\n", "OK 0\nmore"}) EXPECT_TRUE(Exchange::Is_Accepted(accepted)) << accepted;
  for (const char *refused : {"0", "1\n", "", "0\r\n", "O\n", "\n0"}) EXPECT_FALSE(Exchange::Is_Accepted(refused)) << refused;
  EXPECT_EQ(Exchange::Error_Text(""), "Error : Timed out");
  EXPECT_EQ(Exchange::Unable_To_Locate("/x y"), "Unable to locate file: /x y");
}

TEST(Exchange_Rules, Writes_and_percentages) {
  const std::tuple<std::int64_t, std::vector<std::int64_t>, std::vector<std::string>> cases[] = {
      {2500, {1024, 1024, 452}, {"41%", "82%", "100%"}},
      {1024, {1024}, {"100%"}},
      {1, {1}, {"100%"}},
      {8192, std::vector<std::int64_t>(8, 1024), {"13%", "25%", "38%", "50%", "63%", "75%", "88%", "100%"}},
  };
  for (const auto &[total, writes, shown] : cases) {
    std::vector<std::int64_t> made;
    std::vector<std::string> texts;
    std::int32_t sent = 0;
    for (std::int64_t remaining = total; remaining > 0;) {
      const std::int64_t size = Exchange::Chunk_Bytes(remaining);
      remaining -= size;
      made.push_back(size);
      ASSERT_TRUE(Exchange::Advance_Sent_Count(sent));
      texts.push_back(Exchange::Percent_Text(Exchange::Percentage(sent, total)));
    }
    EXPECT_EQ(made, writes) << total;
    EXPECT_EQ(texts, shown) << total;
  }
  EXPECT_EQ(Exchange::Percentage(3072, 2500), 100.0);  // the last write counts a whole chunk
  std::int32_t sent = 2147483647 - 1024;
  EXPECT_TRUE(Exchange::Advance_Sent_Count(sent));
  EXPECT_EQ(sent, 2147483647);
  sent = 2147482624;
  EXPECT_FALSE(Exchange::Advance_Sent_Count(sent));
}

// ---- The waits, one tick at a time -----------------------------------------------------

struct Wait_Case {
  const char *name;
  std::vector<const char *> reads;  // after the drain's empty read
  int ticks, reads_made;
  Failure failure;
  std::string answer;
};

void PrintTo(const Wait_Case &c, std::ostream *out) { *out << c.name; }

class Acknowledgement_Wait : public testing::TestWithParam<Wait_Case> {};

TEST_P(Acknowledgement_Wait, Counts_its_ticks) {
  const Wait_Case &c = GetParam();
  Scripted_Library library;
  library.Answers({"-"});
  for (const char *read : c.reads) library.Answers({read});
  Instrument instrument(library, "TAVRIN-0");
  const std::string image = Image(10, 1);
  Image_Bytes source(image);
  Download download(instrument, "DL,IP,NORESET\n", source);
  download.Start();
  ASSERT_EQ(download.Current_Stage(), Stage::Acknowledgement);
  download.Tick();  // starts the countdown only
  EXPECT_EQ(download.Remaining_Ms(), 1000);
  EXPECT_EQ(library.interrogative_calls.size(), 1u);  // the drain's
  int ticks = 1;
  while (download.Current_Stage() == Stage::Acknowledgement && ticks < 1000) {
    download.Tick();
    ++ticks;
  }
  EXPECT_EQ(ticks, c.ticks);
  EXPECT_EQ(int(library.interrogative_calls.size()) - 1, c.reads_made);
  EXPECT_EQ(download.Failed_With(), c.failure);
  EXPECT_EQ(download.Answer(), c.answer);
  EXPECT_EQ(library.interrogative_calls.back().length, 64);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Acknowledgement_Wait,
    testing::Values(Wait_Case{"silence", {}, 11, 10, Failure::Timed_Out, ""},
                    Wait_Case{"last_read", {"-", "-", "-", "-", "-", "-", "-", "-", "-", "0\n"}, 11, 10, Failure::None, "0\n"},
                    Wait_Case{"refused", {"1\n"}, 2, 1, Failure::Refused, "1\n"},
                    Wait_Case{"apart", {"0", "\n"}, 2, 1, Failure::Refused, "0"},
                    Wait_Case{"empty", {""}, 2, 1, Failure::Timed_Out, ""},
                    Wait_Case{"text_ends_at_a_zero_byte", {"A\0B"}, 2, 1, Failure::Refused, "A"}),
    [](const testing::TestParamInfo<Wait_Case> &info) { return std::string(info.param.name); });

TEST(Download_Waits, The_final_answer_makes_up_to_100_reads_and_the_pause_none) {
  for (const bool late : {false, true}) {
    Scripted_Library library;
    library.Answers({"-", "0\n"});
    if (late) {
      for (int i = 0; i < 50; ++i) library.Answers({"-"});
      library.Answers({"10\n"});
    }
    Instrument instrument(library, "TAVRIN-0");
    const std::string image = Image(100, 2);
    Image_Bytes source(image);
    Download download(instrument, "DL,IP,NORESET\n", source, {.check = false, .pause = true});
    const Driven run = Drive(download);
    const std::size_t final_reads = library.interrogative_calls.size() - 2;  // after the drain and the acknowledgement
    EXPECT_EQ(final_reads, late ? 51u : 100u);
    EXPECT_EQ(download.Failed_With(), late ? Failure::None : Failure::Timed_Out);
    // Acknowledgement 2 ticks, final answer 1 + reads, pause 1 + 20.
    EXPECT_EQ(run.ticks, late ? 2 + 52 + 21 : 2 + 101);
  }
}

// ---- Whole downloads against the scripted library -------------------------------------------

TEST(Download, Drains_stale_answers_before_the_download_line) {
  Scripted_Library library;
  // An identity nobody read, ending in "0" and a line feed.
  library.Answers({"TAVRIN,570x,TVR00000,1.0.0\n", "-", "-", "1\n"});
  Instrument instrument(library, "TAVRIN-0");
  const std::string image = Image(2500, 3);
  Image_Bytes source(image);
  Download download(instrument, "DL,DSP,NORESET\n", source);
  Drive(download);
  EXPECT_EQ(download.Dropped(), "TAVRIN,570x,TVR00000,1.0.0\n");
  // The instrument's own answer decides: it refused, and no image went.
  EXPECT_EQ(download.Failed_With(), Failure::Refused);
  EXPECT_EQ(download.Reason(), "1\n");
  ASSERT_EQ(library.writes.size(), 1u);
  EXPECT_EQ(library.writes[0].bytes, "DL,DSP,NORESET\n");
}

TEST(Download, A_2500_byte_image_goes_as_1024_1024_452_showing_41_82_100) {
  Scripted_Library library;
  library.Answers({"-", "0\n", "0\n"});
  Instrument instrument(library, "TAVRIN-0");
  const std::string image = Image(2500, 1);
  Image_Bytes source(image);
  Download download(instrument, "DL,IP,RESET\n", source);
  const Driven run = Drive(download);
  EXPECT_EQ(download.Current_Stage(), Stage::Succeeded);
  ASSERT_EQ(library.writes.size(), 4u);
  EXPECT_EQ(library.writes[0].bytes, "DL,IP,RESET\n");
  const std::size_t sizes[] = {1024, 1024, 452};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(library.writes[i + 1].length, std::int32_t(sizes[i]));
    EXPECT_EQ(library.writes[i + 1].bytes, image.substr(i * 1024, sizes[i]));
  }
  EXPECT_EQ(run.shown, (std::vector<std::string>{"41%", "82%", "100%"}));
  EXPECT_EQ(download.Percentage(), 100.0);
  EXPECT_EQ(download.Bytes_Sent(), 2500);
}

struct Outcome_Case {
  const char *name;
  std::vector<const char *> reads;
  bool command_fails;
  Failure failure;
  std::string reason;
  std::size_t writes;
};

void PrintTo(const Outcome_Case &c, std::ostream *out) { *out << c.name; }

class Download_Outcome : public testing::TestWithParam<Outcome_Case> {};

TEST_P(Download_Outcome, Answers_decide_it) {
  const Outcome_Case &c = GetParam();
  Scripted_Library library;
  library.Answers({"-"});
  for (const char *read : c.reads) library.Answers({read});
  if (c.command_fails) library.write_results = {0};
  Instrument instrument(library, "TAVRIN-0");
  const std::string image = Image(2500, 2);
  Image_Bytes source(image);
  Download download(instrument, "DL,DSP,NORESET\n", source);
  Drive(download);
  EXPECT_EQ(download.Failed_With(), c.failure);
  EXPECT_EQ(download.Current_Stage(), c.failure == Failure::None ? Stage::Succeeded : Stage::Failed);
  EXPECT_EQ(download.Reason(), c.reason);
  EXPECT_EQ(library.writes.size(), c.writes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Download_Outcome,
    testing::Values(Outcome_Case{"accepted", {"0\n", "0\n"}, false, Failure::None, "", 4},
                    Outcome_Case{"one_zero_line_feed", {"10\n", "0\n"}, false, Failure::None, "", 4},
                    Outcome_Case{"refused", {"1\n"}, false, Failure::Refused, "1\n", 1},
                    Outcome_Case{"zero_without_line_feed", {"0"}, false, Failure::Refused, "0", 1},
                    Outcome_Case{"silence", {}, false, Failure::Timed_Out, "Timed out", 1},
                    Outcome_Case{"no_final_answer", {"0\n"}, false, Failure::Timed_Out, "Timed out", 4},
                    Outcome_Case{"final_answer_refused", {"0\n", "E\n"}, false, Failure::Refused, "E\n", 4},
                    Outcome_Case{"command_not_written", {"0\n"}, true, Failure::Command_Not_Written,
                                 "Unable to write to device", 1}),
    [](const testing::TestParamInfo<Outcome_Case> &info) { return std::string(info.param.name); });

TEST(Download, A_failed_write_stops_the_image_and_its_failure_stays) {
  Scripted_Library library;
  library.Answers({"-", "0\n", "0\n"});
  library.write_results = {1, 1, 0};  // the download line, the first chunk, then a failure
  Instrument instrument(library, "TAVRIN-0");
  const std::string image = Image(5000, 3);
  Image_Bytes source(image);
  Download download(instrument, "DL,FPGA,RESET\n", source, {.check = true, .pause = true});
  const Driven run = Drive(download);
  EXPECT_EQ(library.writes.size(), 3u);  // no chunk after the failed one
  // The final answer is still awaited, but a partial image is no success.
  EXPECT_EQ(library.interrogative_calls.size(), 3u);
  EXPECT_EQ(download.Failed_With(), Failure::Chunk_Not_Written);
  EXPECT_EQ(download.Reason(), "Unable to write to device");
  EXPECT_EQ(run.shown, std::vector<std::string>{"20%"});
}

TEST(Download, Cancel_stops_the_image_after_the_chunk_under_way) {
  Scripted_Library library;
  library.Answers({"-", "0\n", "0\n"});
  Instrument instrument(library, "TAVRIN-0");
  const std::string image = Image(5000, 10);
  Image_Bytes source(image);
  Download download(instrument, "DL,IP,RESET\n", source);
  download.Start();
  download.Tick();
  download.Tick();
  ASSERT_TRUE(download.Sending());
  download.Send_Next_Chunk();
  download.Cancel();
  download.Send_Next_Chunk();
  EXPECT_EQ(download.Current_Stage(), Stage::Final_Answer);
  while (!download.Finished()) download.Tick();
  EXPECT_EQ(library.writes.size(), 2u);  // the download line and one chunk
  EXPECT_EQ(download.Failed_With(), Failure::Cancelled);
}

TEST(Download, Abandoned_it_sends_and_reads_nothing_more) {
  Scripted_Library library;
  library.Answers({"-", "0\n", "0\n"});
  Instrument instrument(library, "TAVRIN-0");
  const std::string image = Image(3000, 4);
  Image_Bytes source(image);
  Download download(instrument, "DL,IP,RESET\n", source);
  download.Start();
  download.Abandon();
  download.Tick();
  download.Send_Next_Chunk();
  EXPECT_EQ(download.Failed_With(), Failure::Abandoned);
  EXPECT_EQ(library.writes.size(), 1u);
  EXPECT_EQ(library.interrogative_calls.size(), 1u);
}

// The check after the final answer: an instrument that holds another image
// says so; one that does not know the question leaves the image unchecked.
TEST(Download, The_check_after_the_final_answer) {
  struct Case {
    std::string answer;
    Failure failure;
    Download::Check_Outcome checked;
  } const cases[] = {
      {"IP 5 C53D045F,DSP 0 00000000,FPGA 0 00000000\n", Failure::None, Download::Check_Outcome::Verified},
      {"IP 0 00000000,DSP 0 00000000,FPGA 0 00000000\n", Failure::Image_Mismatch, Download::Check_Outcome::Not_Made},
      {"ERR unknown command\n", Failure::None, Download::Check_Outcome::Unanswered},
      {"-", Failure::None, Download::Check_Outcome::Unanswered},
  };
  for (const Case &c : cases) {
    Scripted_Library library;
    library.Answers({"-", "0\n", "0\n"});
    // The answer in pieces, as 64-byte reads bring a longer line.
    if (c.answer != "-") {
      library.Answers({c.answer.substr(0, 9).c_str()});
      library.Answers({c.answer.substr(9).c_str()});
    }
    Instrument instrument(library, "TAVRIN-0");
    Image_Bytes source("image");
    Download download(instrument, "DL,IP,NORESET\n", source, {.check = true, .pause = false});
    Drive(download);
    EXPECT_EQ(download.Failed_With(), c.failure) << c.answer;
    EXPECT_EQ(download.Checked(), c.checked) << c.answer;
    ASSERT_EQ(library.writes.size(), 3u);
    EXPECT_EQ(library.writes[2].bytes, "FW?\n");
    if (c.failure == Failure::Image_Mismatch) {
      EXPECT_EQ(download.Reason(),
                "Image check failed: sent 5 bytes (CRC-32 C53D045F), the instrument holds 0 bytes (CRC-32 00000000)");
    }
  }
}

TEST(Download, An_image_that_cannot_be_read_ends_it_at_once) {
  class Failing_Source final : public Image_Source {
   public:
    std::int64_t Size() const override { return 4096; }
    bool Read(char *, std::size_t) override { return false; }
  } source;
  Scripted_Library library;
  library.Answers({"-", "0\n", "0\n"});
  Instrument instrument(library, "TAVRIN-0");
  Download download(instrument, "DL,IP,NORESET\n", source);
  Drive(download);
  EXPECT_EQ(download.Failed_With(), Failure::Image_Unreadable);
  EXPECT_EQ(library.writes.size(), 1u);
}
