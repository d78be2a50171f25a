// Discovery through the exports: which names are listed, in which order and
// form, and that probing leaves no handle open.
#include "library_test_support.h"

extern "C" unsigned C_Client_List_Length(void);

namespace librarytest {
namespace {

class DiscoveryTest : public LibraryTest {};

TEST_F(DiscoveryTest, NoInstrumentGivesEmptyTexts) {
  Text list = Text::Adopt(USB_Get_ALL_Available_DeviceName());
  Text first = Text::Adopt(USB_Get_First_DeviceName());
  EXPECT_EQ(0u, SysStringLen(list.get()));
  EXPECT_EQ(0u, SysStringLen(first.get()));
  EXPECT_EQ(0u, km::OpenFileCount());
}

TEST_F(DiscoveryTest, ListsSlotsZeroAndThreeOnly) {
  for (int i = 0; i < 4; ++i) AttachInstrument();
  host::Detach(ids[1]);
  host::Detach(ids[2]);
  host::WaitForPnp();

  EXPECT_EQ(u"TAVRIN-0\r\nTAVRIN-3\r\n", DeviceList());
  EXPECT_EQ(0u, km::OpenFileCount());
  EXPECT_EQ(u"TAVRIN-0", FirstDeviceName());
  EXPECT_EQ(0u, km::OpenFileCount());
}

TEST_F(DiscoveryTest, InstrumentAttachedBetweenCallsShowsInTheSecond) {
  AttachInstrument();
  AttachInstrument();
  host::Detach(ids[0]);
  host::WaitForPnp();
  EXPECT_EQ(u"TAVRIN-1\r\n", DeviceList());
  EXPECT_EQ(u"TAVRIN-1", FirstDeviceName());

  AttachInstrument();  // takes the freed slot 0
  EXPECT_EQ(u"TAVRIN-0\r\nTAVRIN-1\r\n", DeviceList());
  EXPECT_EQ(u"TAVRIN-0", FirstDeviceName());
  EXPECT_EQ(0u, km::OpenFileCount());
}

TEST_F(DiscoveryTest, EleventhInstrumentIsPresentButNotListed) {
  std::vector<std::shared_ptr<usb::SubstituteInstrument>> instruments;
  for (int i = 0; i < 11; ++i) instruments.push_back(AttachInstrument());

  EXPECT_EQ(ListOf({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), DeviceList());
  EXPECT_EQ(u"TAVRIN-0", FirstDeviceName());
  // Slot 10 is named by the character after '9'; no probe reaches it.
  EXPECT_EQ(1, WriteText(u"TAVRIN-:", "ECHO slot ten\n"));
  EXPECT_EQ(std::vector<std::string>{"ECHO slot ten"}, instruments[10]->Commands());
  EXPECT_EQ(0u, km::OpenFileCount());
}

TEST_F(DiscoveryTest, ListsAnInstrumentHeldOpenElsewhere) {
  AttachInstrument();
  HANDLE held = CreateFileA("\\\\.\\TAVRIN-0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_EQ(u"TAVRIN-0\r\n", DeviceList());
  EXPECT_EQ(u"TAVRIN-0", FirstDeviceName());
  EXPECT_EQ(1u, km::OpenFileCount());  // only the one held here
  EXPECT_TRUE(CloseHandle(held));
}

TEST_F(DiscoveryTest, ProbingSendsNothingToTheInstrument) {
  auto instrument = AttachInstrument();
  ASSERT_EQ(1, WriteText(u"TAVRIN-0", "ECHO waiting\n"));
  EXPECT_EQ(u"TAVRIN-0\r\n", DeviceList());
  EXPECT_EQ(u"TAVRIN-0", FirstDeviceName());
  // The answer queued before the probes is still there, and nothing else was taken.
  EXPECT_EQ("waiting\n", Read(USB_Read_Interrogative, u"TAVRIN-0").text);
  EXPECT_EQ(std::vector<std::string>{"ECHO waiting"}, instrument->Commands());
}

TEST_F(DiscoveryTest, CClientListsThroughThePublicHeader) {
  EXPECT_EQ(0u, C_Client_List_Length());
  AttachInstrument();
  AttachInstrument();
  EXPECT_EQ(DeviceList().size(), C_Client_List_Length());
  EXPECT_EQ(20u, C_Client_List_Length());
}

}  // namespace
}  // namespace librarytest
