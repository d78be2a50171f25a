// The download exchange: whole images of many sizes, the end-of-image gap
// counted from the first image byte, the first-byte time-out that stores
// nothing, the acknowledgements in all their configured forms, the reboot
// after RESET, refused download lines, a stalled command pipe and a pulled
// cable.
#include "fake_bus_port.h"

#include <zlib.h>

namespace usb::test {
namespace {

const milliseconds kGap = InstrumentConfig{}.imageGap;
const milliseconds kFirstByteTimeout = InstrumentConfig{}.firstByteTimeout;

// A deterministic image whose bytes differ from their neighbours.
Bytes MakeImage(std::size_t size) {
  Bytes image(size);
  std::uint32_t x = 0x12345678;
  for (auto &b : image) {
    x = x * 1664525 + 1013904223;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return image;
}

void SendImage(Bench &bench, const Bytes &image, std::size_t chunk = 1024) {
  for (std::size_t at = 0; at < image.size(); at += chunk) {
    const std::size_t n = std::min(chunk, image.size() - at);
    ASSERT_EQ(bench.model.Out(SubstituteInstrument::kCommandEndpoint, std::span(image).subspan(at, n)), Outcome::Ok);
  }
}

std::uint32_t Crc(const Bytes &bytes) {
  return static_cast<std::uint32_t>(crc32_z(0, bytes.data(), bytes.size()));
}

class WholeDownload : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WholeDownload, StoredImageMatchesBytesSent) {
  Bench bench;
  const Bytes image = MakeImage(GetParam());
  bench.Send("DL,IP,NORESET\n");
  EXPECT_EQ(bench.Read(), "0\n");
  SendImage(bench, image);
  EXPECT_TRUE(bench.model.DownloadInProgress());
  EXPECT_EQ(bench.model.DownloadedBytes(), image.size());
  bench.port.Advance(kGap);
  EXPECT_FALSE(bench.model.DownloadInProgress());
  EXPECT_EQ(bench.Read(), "0\n");
  const StoredImage stored = bench.model.Image(ImageType::Ip);
  EXPECT_EQ(stored.size, image.size());
  EXPECT_EQ(stored.crc32, Crc(image));
  EXPECT_TRUE(stored.bytes == image);
  EXPECT_EQ(bench.model.CompletedDownloads(), 1u);
  bench.Send("FW?\n");
  char expected[64];
  std::snprintf(expected, sizeof expected, "IP %zu %08X,DSP 0 00000000,FPGA 0 00000000\n", image.size(), Crc(image));
  EXPECT_EQ(bench.Read(), expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WholeDownload, ::testing::Values(1u, 1023u, 1024u, 1025u, 2500u, 3u << 20));

TEST(Download, CrcIsTheStandardCrc32) {
  Bench bench;
  bench.Send("dl,fpga,noreset\n123456789");
  bench.port.Advance(kGap);
  EXPECT_EQ(bench.model.Image(ImageType::Fpga).crc32, 0xCBF43926u);
  EXPECT_EQ(bench.model.Image(ImageType::Ip).size, 0u);
}

TEST(Download, ImageIncludesBytesAfterTheLineAndCommandLikeText) {
  Bench bench;
  bench.Send("ECHO x\nDL , Dsp , NoReset\r\n*RST\nAB");
  bench.Send("C\n");
  bench.port.Advance(kGap);
  const Bytes image = bench.model.Image(ImageType::Dsp).bytes.ToBytes();
  EXPECT_EQ(std::string(image.begin(), image.end()), "*RST\nABC\n");
  EXPECT_EQ(bench.model.Commands(), (std::vector<std::string>{"ECHO x", "DL , Dsp , NoReset"}));
  EXPECT_EQ(bench.ReadAll(SubstituteInstrument::kInterrogativeEndpoint),
            (std::vector<std::string>{"x\n", "0\n", "0\n"}));
  bench.Send("ECHO after\n");  // back in command mode
  EXPECT_EQ(bench.Read(), "after\n");
}

TEST(Download, GapStartsWithTheFirstImageByteAndEveryOutRestartsIt) {
  EXPECT_GE(kGap, milliseconds{1000});  // longer than a host's pause of a few 100 ms ticks
  Bench bench;
  bench.Send("DL,IP,NORESET\n");
  bench.Send("");  // an empty transfer is no image byte
  bench.port.Advance(kGap * 3);
  EXPECT_TRUE(bench.model.DownloadInProgress()) << "no gap before the first image byte";
  bench.Send("A");
  bench.port.Advance(kGap - milliseconds{1});
  bench.Send("");
  bench.port.Advance(kGap - milliseconds{1});
  EXPECT_TRUE(bench.model.DownloadInProgress());
  bench.port.Advance(milliseconds{1});
  EXPECT_FALSE(bench.model.DownloadInProgress());
  EXPECT_EQ(bench.model.Image(ImageType::Ip).size, 1u);
  EXPECT_EQ(bench.ReadAll(SubstituteInstrument::kInterrogativeEndpoint), (std::vector<std::string>{"0\n", "0\n"}));
}

TEST(Download, WritesOfAnImageShareOneGapTimerAndTheGapEndsAfterTheLastByte) {
  Bench bench;
  bench.Send("DL,IP,NORESET\n");
  EXPECT_EQ(bench.Read(), "0\n");
  const Bytes image = MakeImage(1000 * 1024);
  // 1000 writes, 3 ms apart: three gaps long in all.
  for (std::size_t at = 0; at < image.size(); at += 1024) {
    ASSERT_EQ(bench.model.Out(SubstituteInstrument::kCommandEndpoint, std::span(image).subspan(at, 1024)), Outcome::Ok);
    bench.port.Advance(milliseconds{3});
  }
  // The first-byte timer (which finds the image begun) and one gap timer;
  // not one timer per write.
  EXPECT_LE(bench.port.timers.size(), 2u);
  bench.port.Advance(kGap - milliseconds{4});
  EXPECT_TRUE(bench.model.DownloadInProgress());
  bench.port.Advance(milliseconds{1});
  EXPECT_FALSE(bench.model.DownloadInProgress());
  EXPECT_EQ(bench.model.Image(ImageType::Ip).crc32, Crc(image));
  EXPECT_EQ(bench.Read(), "0\n");
}

TEST(Download, NoImageByteInTimeKeepsTheOldImageAndAnswersAnError) {
  Bench bench({.firstAckDelay = milliseconds{300}, .resetDelay = milliseconds{50}});
  bench.Send("DL,DSP,NORESET\nold");
  bench.port.Advance(milliseconds{300} + kGap);
  EXPECT_EQ(bench.ReadAll(SubstituteInstrument::kInterrogativeEndpoint), (std::vector<std::string>{"0\n", "0\n"}));
  const StoredImage old = bench.model.Image(ImageType::Dsp);
  ASSERT_EQ(old.size, 3u);

  bench.Send("DL,DSP,RESET\n");
  // Counted from the acknowledgement, which comes after its delay.
  bench.port.Advance(milliseconds{300} + kFirstByteTimeout - milliseconds{1});
  EXPECT_TRUE(bench.model.DownloadInProgress());
  EXPECT_EQ(bench.Read(), "0\n");
  bench.port.Advance(milliseconds{1});
  EXPECT_FALSE(bench.model.DownloadInProgress());
  const auto answer = bench.Read();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->find("0\n"), std::string::npos) << *answer;  // never read as an acceptance
  EXPECT_EQ(answer->rfind("ERR", 0), 0u) << *answer;
  EXPECT_TRUE(bench.model.Image(ImageType::Dsp).bytes == old.bytes);
  EXPECT_EQ(bench.model.CompletedDownloads(), 1u);
  EXPECT_EQ(bench.model.Resets(), 0u);
  bench.Send("ECHO commands again\n");  // back in command mode: nothing is taken as image
  EXPECT_EQ(bench.Read(), "commands again\n");
  bench.port.Advance(kFirstByteTimeout);
  EXPECT_EQ(bench.Read(), std::nullopt);
}

TEST(Download, ResetRebootsOnceTheFinalAcknowledgementIsRead) {
  Bench bench({.resetDelay = milliseconds{250}});
  bench.Send("DL,FPGA,RESET\nimage");
  bench.port.Advance(kGap);
  EXPECT_EQ(bench.Read(), "0\n");
  EXPECT_TRUE(bench.port.reattaches.empty());
  EXPECT_EQ(bench.Read(), "0\n");
  EXPECT_TRUE(bench.port.reattaches.empty());  // not from inside the bus's IN call
  bench.port.Advance(milliseconds{0});
  EXPECT_EQ(bench.port.reattaches, std::vector<milliseconds>{milliseconds{250}});
  EXPECT_EQ(bench.model.Resets(), 1u);
}

TEST(Download, NoResetStaysOnTheBus) {
  Bench bench;
  bench.Send("DL,IP,NORESET\nimage");
  bench.port.Advance(kGap);
  bench.ReadAll(SubstituteInstrument::kInterrogativeEndpoint);
  bench.port.Advance(milliseconds{5000});
  EXPECT_TRUE(bench.port.reattaches.empty());
  EXPECT_EQ(bench.port.detaches, 0);
  EXPECT_EQ(bench.model.Resets(), 0u);
}

TEST(Download, SilentAcknowledgementsAndRebootWithoutOne) {
  Bench bench({.firstAck = std::nullopt, .finalAck = std::nullopt});
  bench.Send("DL,IP,RESET\nimage");
  EXPECT_EQ(bench.Read(), std::nullopt);
  bench.port.Advance(kGap);
  EXPECT_EQ(bench.Read(), std::nullopt);
  EXPECT_EQ(bench.model.Image(ImageType::Ip).size, 5u);
  EXPECT_EQ(bench.port.reattaches, std::vector<milliseconds>{milliseconds{1000}});
}

TEST(Download, RefusingFirstAcknowledgementStartsNoDownload) {
  Bench bench({.firstAck = "1\n"});
  bench.Send("DL,IP,NORESET\nECHO still commands\n");
  EXPECT_FALSE(bench.model.DownloadInProgress());
  EXPECT_EQ(bench.ReadAll(SubstituteInstrument::kInterrogativeEndpoint),
            (std::vector<std::string>{"1\n", "still commands\n"}));
}

TEST(Download, RefusingFinalAcknowledgementIsSentAfterTheImage) {
  Bench bench({.finalAck = "1\n"});
  bench.Send("DL,DSP,NORESET\nimage");
  bench.port.Advance(kGap);
  EXPECT_EQ(bench.ReadAll(SubstituteInstrument::kInterrogativeEndpoint), (std::vector<std::string>{"0\n", "1\n"}));
}

TEST(Download, DelayedAcknowledgementsAndGapCountedFromTheFirstImageByte) {
  Bench bench({.firstAck = "0\n",
               .firstAckDelay = milliseconds{500},
               .finalAck = "0\n",
               .finalAckDelay = milliseconds{300}});
  bench.Send("DL,IP,NORESET\n");
  bench.port.Advance(milliseconds{499});
  EXPECT_EQ(bench.Read(), std::nullopt);
  bench.port.Advance(milliseconds{1});
  EXPECT_EQ(bench.Read(), "0\n");
  bench.port.Advance(milliseconds{200});
  bench.Send("image");
  bench.port.Advance(kGap);
  EXPECT_FALSE(bench.model.DownloadInProgress());
  bench.port.Advance(milliseconds{299});
  EXPECT_EQ(bench.Read(), std::nullopt);
  bench.port.Advance(milliseconds{1});
  EXPECT_EQ(bench.Read(), "0\n");
  EXPECT_EQ(bench.model.Image(ImageType::Ip).size, 5u);
}

class MalformedLine : public ::testing::TestWithParam<const char *> {};

TEST_P(MalformedLine, IsRefusedWithoutAcknowledgement) {
  Bench bench;
  bench.Send(std::string(GetParam()) + "\nECHO next\n");
  EXPECT_FALSE(bench.model.DownloadInProgress());
  const auto answer = bench.Read();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->find("0\n"), std::string::npos) << *answer;
  EXPECT_EQ(bench.Read(), "next\n");
}

INSTANTIATE_TEST_SUITE_P(Lines, MalformedLine,
                         ::testing::Values("DL,XYZ,RESET", "DL,IP,REBOOT", "DL,IP", "DL", "DL,,RESET",
                                           "DL,IP,RESET,EXTRA", "DL IP RESET", "DL,IP RESET"));

TEST(Download, StalledPipeTakesNothing) {
  Bench bench({.commandPipeStalled = true});
  EXPECT_EQ(bench.Send("*IDN?\n"), Outcome::Stall);
  EXPECT_TRUE(bench.model.Commands().empty());
  EXPECT_EQ(bench.Read(), std::nullopt);
}

TEST(Download, CableIsPulledAfterTheConfiguredImageBytes) {
  Bench bench({.unplugAfterImageBytes = 1500});
  bench.Send("DL,IP,RESET\n");
  const Bytes image = MakeImage(4096);
  EXPECT_EQ(bench.model.Out(SubstituteInstrument::kCommandEndpoint, std::span(image).first(1024)), Outcome::Ok);
  EXPECT_EQ(bench.port.detaches, 0);
  EXPECT_EQ(bench.model.Out(SubstituteInstrument::kCommandEndpoint, std::span(image).subspan(1024, 1024)),
            Outcome::NotResponding);
  EXPECT_EQ(bench.port.detaches, 1);
  EXPECT_EQ(bench.model.DownloadedBytes(), 1500u);
  EXPECT_EQ(bench.Send("more"), Outcome::NotResponding);
  EXPECT_EQ(bench.model.DownloadedBytes(), 1500u);
  bench.model.Detached();
  bench.port.Advance(kGap);
  EXPECT_FALSE(bench.model.DownloadInProgress());
  EXPECT_EQ(bench.model.CompletedDownloads(), 0u);
}

TEST(Download, PortResetDropsTheDownload) {
  Bench bench;
  bench.Send("DL,IP,NORESET\nabc");
  bench.model.ResetPort();
  EXPECT_FALSE(bench.model.DownloadInProgress());
  bench.port.Advance(kGap);
  EXPECT_EQ(bench.model.CompletedDownloads(), 0u);
  bench.Read();  // the first acknowledgement
  bench.Send("ECHO back\n");
  EXPECT_EQ(bench.Read(), "back\n");
}

}  // namespace
}  // namespace usb::test
