// Calls from several threads at once: writers and readers on different
// instruments and on the same one, and a thread listing instruments meanwhile.
// The library holds no state, so each call stands alone; nothing is lost or
// duplicated and no handle is left open.
#include "library_test_support.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace librarytest {
namespace {

constexpr int kWorkers = 4;
constexpr int kRounds = 200;
constexpr int kListings = 100;
// Bounds the reads that collect answers still waiting after the workers end.
constexpr int kMaxDrainReads = 2000;

// Worker k talks to this instrument: workers 0 and 1 share TAVRIN-0.
int InstrumentOf(int worker) { return worker <= 1 ? 0 : worker - 1; }

std::u16string NameOf(int instrument) { return u"TAVRIN-" + Wide(std::to_string(instrument)); }

std::string Tag(int worker, int round) { return "t" + std::to_string(worker) + "-" + std::to_string(round); }

class ConcurrencyTest : public LibraryTest {};

TEST_F(ConcurrencyTest, WritersReadersAndListerRunTogether) {
  std::vector<std::shared_ptr<usb::SubstituteInstrument>> instruments;
  for (int i = 0; i < 3; ++i) instruments.push_back(AttachInstrument());
  const std::u16string validList = ListOf({0, 1, 2});

  std::atomic<int> failedWrites{0};
  std::atomic<int> badLists{0};
  std::vector<std::vector<std::string>> answers(kWorkers);  // per worker, what it read
  std::vector<std::thread> threads;
  for (int worker = 0; worker < kWorkers; ++worker) {
    threads.emplace_back([&, worker] {
      const std::u16string name = NameOf(InstrumentOf(worker));
      for (int round = 0; round < kRounds; ++round) {
        if (WriteText(name, "ECHO " + Tag(worker, round) + "\n") != 1) ++failedWrites;
        ReadOutcome read = Read(USB_Read_Interrogative, name);
        if (read.result > 0) answers[worker].push_back(read.text);
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < kListings; ++i) {
      if (DeviceList() != validList) ++badLists;
      if (FirstDeviceName() != u"TAVRIN-0") ++badLists;
    }
  });
  for (std::thread &thread : threads) thread.join();

  EXPECT_EQ(0, failedWrites.load());
  EXPECT_EQ(0, badLists.load());
  EXPECT_EQ(0u, km::OpenFileCount());

  for (int instrument = 0; instrument < 3; ++instrument) {
    std::vector<std::string> expectedCommands;
    std::vector<std::string> expectedAnswers;
    std::vector<std::string> received;
    for (int worker = 0; worker < kWorkers; ++worker) {
      if (InstrumentOf(worker) != instrument) continue;
      for (int round = 0; round < kRounds; ++round) {
        expectedCommands.push_back("ECHO " + Tag(worker, round));
        expectedAnswers.push_back(Tag(worker, round) + "\n");
      }
      received.insert(received.end(), answers[worker].begin(), answers[worker].end());
    }
    // Collect the answers nobody read yet.
    for (int i = 0; i < kMaxDrainReads && received.size() < expectedAnswers.size(); ++i) {
      ReadOutcome read = Read(USB_Read_Interrogative, NameOf(instrument));
      if (read.result > 0) received.push_back(read.text);
    }
    EXPECT_EQ(0, Read(USB_Read_Interrogative, NameOf(instrument)).result);

    std::vector<std::string> commands = instruments[instrument]->Commands();
    std::sort(commands.begin(), commands.end());
    std::sort(expectedCommands.begin(), expectedCommands.end());
    EXPECT_EQ(expectedCommands, commands) << "instrument " << instrument;
    // Every answer reached exactly one reader, whole.
    std::sort(received.begin(), received.end());
    std::sort(expectedAnswers.begin(), expectedAnswers.end());
    EXPECT_EQ(expectedAnswers, received) << "instrument " << instrument;
  }
  EXPECT_EQ(0u, km::OpenFileCount());
}

}  // namespace
}  // namespace librarytest
