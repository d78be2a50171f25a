// The instrument on the bus: configuration and alternate settings, the
// isochronous signal, leaving the bus (and timers that outlive it), and
// reading its state from another thread.
#include "fake_bus_port.h"

#include <thread>

namespace usb::test {
namespace {

constexpr std::uint8_t kIso = SubstituteInstrument::kIsoEndpoint;
const milliseconds kGap = InstrumentConfig{}.imageGap;

TEST(Lifecycle, ConfigurationAndAlternateSettings) {
  Bench bench;
  EXPECT_EQ(bench.model.SetConfiguration(1), Outcome::Ok);
  EXPECT_EQ(bench.model.SetConfiguration(2), Outcome::Stall);
  EXPECT_EQ(bench.model.SetInterface(0, 1), Outcome::Ok);
  EXPECT_EQ(bench.model.AlternateSetting(), 1);
  EXPECT_EQ(bench.model.SetInterface(0, 2), Outcome::Stall);
  EXPECT_EQ(bench.model.SetInterface(1, 0), Outcome::Stall);
  EXPECT_EQ(bench.model.AlternateSetting(), 1);
  EXPECT_EQ(bench.model.SetConfiguration(0), Outcome::Ok);
  EXPECT_EQ(bench.model.AlternateSetting(), 0);
}

// Checks one packet of the signal: its sequence number, then bytes that
// follow from it.
void ExpectPacket(const std::vector<std::uint8_t> &packet, std::uint32_t sequence) {
  ASSERT_GE(packet.size(), 4u);
  EXPECT_EQ(packet[0] | packet[1] << 8 | packet[2] << 16 | static_cast<std::uint32_t>(packet[3]) << 24, sequence);
  for (std::size_t i = 4; i < packet.size(); ++i)
    ASSERT_EQ(packet[i], static_cast<std::uint8_t>(sequence + i)) << "byte " << i;
}

TEST(Lifecycle, IsoSignalOnlyInAlternateSettingOne) {
  Bench bench;
  std::vector<std::uint8_t> packet(1024, 0xEE);
  EXPECT_EQ(bench.model.IsoIn(kIso, 0, packet), 0u);
  EXPECT_EQ(bench.model.IsoSequence(), 0u);
  bench.model.SetInterface(0, 1);
  EXPECT_EQ(bench.model.IsoIn(0x82, 0, packet), 0u);
  for (std::uint32_t n = 0; n < 3; ++n) {
    ASSERT_EQ(bench.model.IsoIn(kIso, 7 + n, packet), packet.size());
    ExpectPacket(packet, n);
  }
  std::vector<std::uint8_t> small(100);
  ASSERT_EQ(bench.model.IsoIn(kIso, 10, small), small.size());
  ExpectPacket(small, 3);
  bench.model.SetInterface(0, 0);
  EXPECT_EQ(bench.model.IsoIn(kIso, 11, packet), 0u);
  bench.model.SetInterface(0, 1);  // selected again: the signal starts afresh
  ASSERT_EQ(bench.model.IsoIn(kIso, 12, packet), packet.size());
  ExpectPacket(packet, 0);
}

TEST(Lifecycle, LeavingTheBusDropsOutputAndSilencesTimers) {
  Bench bench({.answerDelay = milliseconds{20}});
  bench.Send("FMT 2\nECHO late\nFMT:STREAM 10\nDL,IP,NORESET\nabc");
  bench.model.SetInterface(0, 1);
  bench.model.Detached();
  EXPECT_FALSE(bench.model.DownloadInProgress());
  EXPECT_EQ(bench.model.AlternateSetting(), 0);
  bench.model.Attached(&bench.port);
  bench.port.Advance(kGap * 2);  // timers of the earlier attachment fire
  EXPECT_EQ(bench.Read(), std::nullopt);
  EXPECT_EQ(bench.Read(SubstituteInstrument::kFormattedEndpoint), std::nullopt);
  EXPECT_EQ(bench.model.CompletedDownloads(), 0u);
}

TEST(Lifecycle, RebootAnnouncedBeforeLeavingTheBusDoesNotHappen) {
  Bench bench({.finalAck = "0\n", .finalAckDelay = milliseconds{100}});
  bench.Send("DL,IP,RESET\nimage");
  bench.port.Advance(kGap);
  bench.model.Detached();
  bench.model.Attached(&bench.port);
  bench.port.Advance(kGap * 2);
  EXPECT_TRUE(bench.port.reattaches.empty());
  EXPECT_EQ(bench.model.Resets(), 0u);
}

TEST(Lifecycle, ImagesSurviveAReboot) {
  Bench bench;
  bench.Send("DL,DSP,RESET\nimage");
  bench.port.Advance(kGap);
  bench.ReadAll(SubstituteInstrument::kInterrogativeEndpoint);
  bench.port.Advance(milliseconds{0});
  ASSERT_EQ(bench.port.reattaches.size(), 1u);
  bench.model.Detached();
  bench.model.Attached(&bench.port);
  EXPECT_EQ(bench.model.Image(ImageType::Dsp).size, 5u);
  bench.Send("FW?\n");
  EXPECT_EQ(bench.Read()->substr(0, 20), "IP 0 00000000,DSP 5 ");
}

TEST(Lifecycle, TimerOutlivingTheInstrumentDoesNothing) {
  FakeBusPort port;
  {
    SubstituteInstrument model({.answerDelay = milliseconds{5}});
    model.Attached(&port);
    const std::string line = "ECHO gone\n";
    model.Out(SubstituteInstrument::kCommandEndpoint,
              std::span(reinterpret_cast<const std::uint8_t *>(line.data()), line.size()));
  }
  ASSERT_EQ(port.timers.size(), 1u);
  port.Advance(milliseconds{5});
  EXPECT_TRUE(port.dataReady.empty());
}

TEST(Lifecycle, StateReadWhileTheBusDrivesTheInstrument) {
  Bench bench;
  std::atomic<bool> done = false;
  std::size_t seen = 0;
  std::thread observer([&] {
    while (!done) seen = std::max(seen, bench.model.Commands().size() + bench.model.DownloadedBytes());
  });
  for (int i = 0; i < 200; ++i) {
    bench.Send("ECHO " + std::to_string(i) + "\n");
    bench.Read();
  }
  done = true;
  observer.join();
  EXPECT_EQ(bench.model.Commands().size(), 200u);
  EXPECT_LE(seen, 200u);
}

}  // namespace
}  // namespace usb::test
