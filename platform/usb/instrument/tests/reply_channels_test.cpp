// Packets on the reply channels: short reads of a long line, a zero-length
// packet after a line of whole packets, one line per transfer, nothing when
// idle, and the bus told whenever something is queued.
#include "fake_bus_port.h"

namespace usb::test {
namespace {

constexpr std::uint8_t kAnswers = SubstituteInstrument::kInterrogativeEndpoint;

std::string Text(const std::optional<Bytes> &packet) {
  return packet ? std::string(packet->begin(), packet->end()) : "<none>";
}

TEST(ReplyChannels, NothingQueuedGivesNothing) {
  Bench bench;
  EXPECT_EQ(bench.model.In(kAnswers, 512), std::nullopt);
  EXPECT_EQ(bench.model.In(SubstituteInstrument::kFormattedEndpoint, 512), std::nullopt);
  bench.Send("ECHO x\n");
  EXPECT_EQ(bench.model.In(0x84, 512), std::nullopt);
}

TEST(ReplyChannels, LongLineReadIn64BytePackets) {
  Bench bench;
  const std::string text(200, 'q');
  bench.Send("ECHO " + text + "\n");
  std::string got;
  std::vector<std::size_t> sizes;
  while (auto packet = bench.model.In(kAnswers, 64)) {
    sizes.push_back(packet->size());
    got.append(packet->begin(), packet->end());
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{64, 64, 64, 9}));
  EXPECT_EQ(got, text + "\n");
}

TEST(ReplyChannels, LineOfWholePacketsIsFollowedByZeroLengthPacket) {
  for (std::size_t length : {512u, 1024u}) {
    Bench bench;
    bench.Send("ECHO " + std::string(length - 1, 'z') + "\n");
    for (std::size_t sent = 0; sent < length; sent += 512) EXPECT_EQ(bench.model.In(kAnswers, 512)->size(), 512u);
    const auto end = bench.model.In(kAnswers, 512);
    ASSERT_TRUE(end.has_value());
    EXPECT_TRUE(end->empty());
    EXPECT_EQ(bench.model.In(kAnswers, 512), std::nullopt);
  }
}

TEST(ReplyChannels, EachLineEndsItsOwnTransfer) {
  Bench bench;
  bench.Send("ECHO " + std::string(699, 'y') + "\nECHO b\n");
  EXPECT_EQ(bench.Read()->size(), 700u);  // 512 then 188: no zero-length packet
  EXPECT_EQ(Text(bench.model.In(kAnswers, 512)), "b\n");
}

TEST(ReplyChannels, BusIsToldOncePerQueuingCall) {
  Bench bench;
  bench.Send("ECHO a\n");
  bench.Send("FMT 5\n");
  EXPECT_EQ(bench.port.dataReady,
            (std::vector<std::uint8_t>{kAnswers, SubstituteInstrument::kFormattedEndpoint}));
}

}  // namespace
}  // namespace usb::test
