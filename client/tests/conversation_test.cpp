// The owning types and the conversation with one instrument, against the
// scripted library; waits pass on a stepped clock.
#include "scripted_library.h"

#include <instrument.h>
#include <library_types.h>

#include <gtest/gtest.h>

using namespace Client;

TEST(Library_Types, Texts_cross_as_characters_or_as_bytes) {
  Library_Text name = Library_Text::Of_Characters("T\xE9-0");
  EXPECT_EQ(SysStringLen(name.Get()), 4u);
  EXPECT_EQ(name.Get()[1], u'\u00E9');
  EXPECT_EQ(name.Characters(), "T\xE9-0");
  // A padded name's bytes are the name's UTF-16 form.
  Library_Text padded = Library_Text::Of_Bytes(std::string("AB\0C\0", 5).substr(1));
  EXPECT_EQ(padded.Characters(), "BC");
  EXPECT_EQ(padded.Bytes(), std::string("B\0C\0", 4));
  Library_Text moved = std::move(padded);
  EXPECT_EQ(padded.Get(), nullptr);
  EXPECT_EQ(moved.Characters(), "BC");
  EXPECT_EQ(Library_Text().Characters(), "");
}

TEST(Library_Types, Byte_arrays_check_their_bounds) {
  EXPECT_THROW(Byte_Array(std::size_t{0}), Bounds_Error);
  Byte_Array three(std::string_view("abc"));
  EXPECT_EQ(three.Bytes(3), "abc");
  EXPECT_EQ(three.Bytes(0), "");
  EXPECT_THROW(three.Bytes(4), Bounds_Error);
  EXPECT_EQ(Byte_Array(std::size_t{4}).Bytes(4), std::string(4, '\0'));
}

TEST(Conversation, Writes_say_what_came_of_them) {
  Scripted_Library library;
  library.write_results = {1, 0, -2};
  Instrument instrument(library, "TAVRIN-0");
  EXPECT_EQ(instrument.Write("*IDN?\n"), Write_Outcome::Done);
  EXPECT_EQ(instrument.Write("x"), Write_Outcome::Failed);
  EXPECT_EQ(instrument.Write("x"), Write_Outcome::Not_Found);
  EXPECT_EQ(instrument.Write(""), Write_Outcome::Nothing_To_Send);
  ASSERT_EQ(library.writes.size(), 3u);
  EXPECT_EQ(library.writes[0].bytes, "*IDN?\n");
  EXPECT_EQ(library.writes[0].length, 6);
  EXPECT_EQ(library.writes[0].name, "TAVRIN-0");
}

TEST(Conversation, A_poll_takes_the_count_received_and_offers_one_byte_more) {
  Scripted_Library library;
  library.interrogative.push_back({3, std::string("ab\0", 3)});
  Instrument instrument(library, "TAVRIN-0");
  EXPECT_EQ(instrument.Poll(Channel::Interrogative, 64), std::string("ab\0", 3));
  EXPECT_EQ(instrument.Poll(Channel::Interrogative, 64), std::nullopt);
  EXPECT_EQ(library.interrogative_calls[0].length, 64);
  EXPECT_EQ(library.interrogative_calls[0].bytes.size(), 65u);
}

TEST(Conversation, A_drain_takes_everything_waiting_and_stops_at_a_chatterer) {
  Scripted_Library library;
  library.Answers({"1.0.0\n", "a\n", "-", "later\n"});
  Instrument instrument(library, "TAVRIN-0");
  EXPECT_EQ(instrument.Drain(), "1.0.0\na\n");
  EXPECT_EQ(library.interrogative.size(), 1u);  // "later" stays
  library.interrogative.assign(kMostDrainReads + 5, {1, "x"});
  EXPECT_EQ(instrument.Drain().size(), std::size_t(kMostDrainReads));
}

TEST(Conversation, Reading_within_a_time_out) {
  Scripted_Library library;
  Stepped_Pace pace;
  Instrument instrument(library, "TAVRIN-0", pace);
  // A line in two pieces, read until its line feed.
  library.formatted = {{0, {}}, {2, "12"}, {0, {}}, {2, "3\n"}};
  Reading line = instrument.Read_Within(Channel::Formatted, 1000, true);
  EXPECT_EQ(line.outcome, Reading::Outcome::Received);
  EXPECT_EQ(line.bytes, "123\n");
  // Part of a line and then nothing: timed out, with what came.
  library.formatted = {{2, "45"}};
  const auto before = pace.Now();
  Reading partial = instrument.Read_Within(Channel::Formatted, 100, true);
  EXPECT_EQ(partial.outcome, Reading::Outcome::Timed_Out);
  EXPECT_EQ(partial.bytes, "45");
  EXPECT_GE(pace.Now() - before, std::chrono::milliseconds(100));
  // Nothing from an instrument no longer listed: gone.
  library.listed = "TAVRIN-1\r\n";
  EXPECT_EQ(instrument.Read_Within(Channel::Interrogative, 50, false).outcome, Reading::Outcome::Gone);
}

TEST(Conversation, A_query_drops_what_was_waiting_before_it_asks) {
  Scripted_Library library;
  Stepped_Pace pace;
  Instrument instrument(library, "TAVRIN-0", pace);
  library.Answers({"stale\n", "-", "-", "TVR 1.0.0\n"});
  Query_Result result = instrument.Query("*IDN?", 1000);
  EXPECT_EQ(result.dropped, "stale\n");
  EXPECT_EQ(result.written, Write_Outcome::Done);
  EXPECT_EQ(result.reading.bytes, "TVR 1.0.0\n");
  ASSERT_EQ(library.writes.size(), 1u);
  EXPECT_EQ(library.writes[0].bytes, "*IDN?\n");
}

TEST(Conversation, Names_resolve_without_regard_to_letter_case) {
  Scripted_Library library;
  library.listed = "TAVRIN-0\r\nTAVRIN-12\r\n";
  EXPECT_EQ(List_Instruments(library), (std::vector<std::string>{"TAVRIN-0", "TAVRIN-12"}));
  EXPECT_EQ(Resolve(library, "tavrin-12"), "TAVRIN-12");
  EXPECT_EQ(Resolve(library, "TAVRIN-1"), std::nullopt);
}
