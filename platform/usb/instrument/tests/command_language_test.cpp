// The command language: every command's answer, line assembly, answer
// delays, *RST, and formatted streaming on the fake clock.
#include "fake_bus_port.h"

namespace usb::test {
namespace {

constexpr std::uint8_t kFormatted = SubstituteInstrument::kFormattedEndpoint;

TEST(CommandLanguage, IdentityNamesSerialAndImageVersions) {
  Bench bench({.serialNumber = "TVR01234", .ipVersion = "2.1.0", .dspVersion = "3.0.1", .fpgaVersion = "0.9.9"});
  bench.Send("*IDN?\n");
  EXPECT_EQ(bench.Read(), "TAVRIN,570x,TVR01234,IP 2.1.0,DSP 3.0.1,FPGA 0.9.9\n");
  Bench plain;
  plain.Send("*IDN?\n");
  EXPECT_EQ(plain.Read(), "TAVRIN,570x,TVR00000,IP 1.0.0,DSP 1.0.0,FPGA 1.0.0\n");
}

TEST(CommandLanguage, EchoAnswersTextAsSent) {
  Bench bench;
  bench.Send("echo Hello, World  \nECHO\n");
  EXPECT_EQ(bench.Read(), "Hello, World  \n");
  EXPECT_EQ(bench.Read(), "\n");
}

TEST(CommandLanguage, MeasurementsFollowTheirSequence) {
  Bench bench;
  bench.Send("MEAS?\nmeas?\nMeas?\n");
  EXPECT_EQ(bench.ReadAll(SubstituteInstrument::kInterrogativeEndpoint),
            (std::vector<std::string>{"+1.000000E+00\n", "+2.000000E+00\n", "+3.000000E+00\n"}));
}

TEST(CommandLanguage, FmtQueuesNumberedLinesOnTheFormattedChannelOnly) {
  Bench bench;
  bench.Send("FMT 3\n");
  EXPECT_EQ(bench.ReadAll(kFormatted), (std::vector<std::string>{"FMT 1 of 3: +1.000000E+00\n",
                                                                  "FMT 2 of 3: +2.000000E+00\n",
                                                                  "FMT 3 of 3: +3.000000E+00\n"}));
  EXPECT_EQ(bench.Read(), std::nullopt);
  bench.Send("FMT 0\n");
  EXPECT_EQ(bench.Read(kFormatted), std::nullopt);
}

TEST(CommandLanguage, FirmwareQueryWithoutImages) {
  Bench bench;
  bench.Send("FW?\n");
  EXPECT_EQ(bench.Read(), "IP 0 00000000,DSP 0 00000000,FPGA 0 00000000\n");
}

TEST(CommandLanguage, RefusesUnknownAndMalformedCommands) {
  Bench bench;
  bench.Send("FOO\nFMT x\nFMT 100001\nFMT:STREAM -5\n*IDN? now\nECHO,x\n");
  EXPECT_EQ(bench.ReadAll(SubstituteInstrument::kInterrogativeEndpoint),
            (std::vector<std::string>{"ERR unknown command\n", "ERR bad argument\n", "ERR count out of range\n",
                                      "ERR bad argument\n", "ERR unexpected argument\n",
                                      "ERR unknown command\n"}));
  EXPECT_EQ(bench.Read(kFormatted), std::nullopt);
}

TEST(CommandLanguage, EmptyLinesAreIgnoredAndNotRecorded) {
  Bench bench;
  bench.Send("\n\r\n   \n");
  EXPECT_EQ(bench.Read(), std::nullopt);
  EXPECT_TRUE(bench.model.Commands().empty());
}

TEST(CommandLanguage, LinesSplitJoinedAndEndedWithCarriageReturn) {
  Bench bench;
  bench.Send("EC");
  bench.Send("HO a\r");
  EXPECT_EQ(bench.Read(), std::nullopt);  // nothing before the line feed
  bench.Send("\nECHO b\r\n*idn?\r\nEcHo c\n");
  EXPECT_EQ(bench.ReadAll(SubstituteInstrument::kInterrogativeEndpoint),
            (std::vector<std::string>{"a\n", "b\n", "TAVRIN,570x,TVR00000,IP 1.0.0,DSP 1.0.0,FPGA 1.0.0\n", "c\n"}));
  EXPECT_EQ(bench.model.Commands(), (std::vector<std::string>{"ECHO a", "ECHO b", "*idn?", "EcHo c"}));
}

TEST(CommandLanguage, OverlongLineIsRefusedWhole) {
  Bench bench;
  bench.Send("ECHO " + std::string(SubstituteInstrument::kMaxLineLength, 'x') + "\nECHO ok\n");
  EXPECT_EQ(bench.Read(), "ERR line too long\n");
  EXPECT_EQ(bench.Read(), "ok\n");
}

TEST(CommandLanguage, DelayedAnswerIsQueuedWhenItsTimerFires) {
  Bench bench({.answerDelay = milliseconds{50}});
  bench.Send("ECHO late\n");
  EXPECT_EQ(bench.Read(), std::nullopt);
  EXPECT_TRUE(bench.port.dataReady.empty());
  bench.port.Advance(milliseconds{49});
  EXPECT_EQ(bench.Read(), std::nullopt);
  bench.port.Advance(milliseconds{1});
  EXPECT_EQ(bench.port.dataReady, std::vector<std::uint8_t>{SubstituteInstrument::kInterrogativeEndpoint});
  EXPECT_EQ(bench.Read(), "late\n");
}

TEST(CommandLanguage, ResetClearsBothChannelsWaitingAnswersAndStreaming) {
  Bench bench({.answerDelay = milliseconds{10}});
  bench.Send("ECHO one\nFMT 2\nFMT:STREAM 5\n");
  bench.port.Advance(milliseconds{12});  // the answer and two streamed lines are queued
  bench.Send("ECHO two\n*RST\n");
  bench.port.Advance(milliseconds{100});
  EXPECT_EQ(bench.Read(), std::nullopt);
  EXPECT_EQ(bench.Read(kFormatted), std::nullopt);
  bench.Send("ECHO three\n");
  bench.port.Advance(milliseconds{10});
  EXPECT_EQ(bench.Read(), "three\n");
}

TEST(CommandLanguage, StreamEmitsOneLineEachPeriodUntilStopped) {
  Bench bench;
  bench.Send("FMT:STREAM 300\nfmt:stream 100\n");  // the second period replaces the first
  bench.port.Advance(milliseconds{99});
  EXPECT_EQ(bench.Read(kFormatted), std::nullopt);
  bench.port.Advance(milliseconds{201});
  EXPECT_EQ(bench.ReadAll(kFormatted), (std::vector<std::string>{"STREAM 1: +1.000000E+00\n",
                                                                  "STREAM 2: +2.000000E+00\n",
                                                                  "STREAM 3: +3.000000E+00\n"}));
  bench.Send("FMT:STREAM 0\n");
  bench.port.Advance(milliseconds{1000});
  EXPECT_EQ(bench.Read(kFormatted), std::nullopt);
  EXPECT_TRUE(bench.port.timers.empty());
}

TEST(CommandLanguage, ConfiguredStreamStartsOnArrivalAndStopsGrowingWhenUnread) {
  Bench bench({.streamPeriod = milliseconds{1}});
  bench.port.Advance(milliseconds{SubstituteInstrument::kStreamBacklogLimit + 50});
  const auto lines = bench.ReadAll(kFormatted);
  ASSERT_EQ(lines.size(), SubstituteInstrument::kStreamBacklogLimit);
  EXPECT_EQ(lines.front(), "STREAM 1: +1.000000E+00\n");
  bench.port.Advance(milliseconds{1});  // lines lost to the full backlog leave a gap in the numbers
  const std::uint64_t next = lines.size() + 51;
  EXPECT_EQ(bench.Read(kFormatted), "STREAM " + std::to_string(next) + ": " + SubstituteInstrument::Reading(next) + "\n");
}

}  // namespace
}  // namespace usb::test
