// Downloads through the whole stack (the linked library, the kernel
// stand-in, the driver and a substitute instrument): images of every size
// arrive unchanged, and an answer nobody read is not taken for the
// acknowledgement.
#include <device_library.h>
#include <download.h>
#include <host/host.h>
#include <substitute_instrument.h>

#include <gtest/gtest.h>

#include <thread>

using namespace Client;

namespace {

struct Plugged {
  explicit Plugged(usb::InstrumentConfig config) : model(std::make_shared<usb::SubstituteInstrument>(config)) {
    id = host::Attach(model);
    host::WaitForPnp();
  }
  ~Plugged() {
    host::Detach(id);
    host::WaitUntilPresent(id, false, std::chrono::seconds(20));
    host::WaitForPnp();
  }
  std::shared_ptr<usb::SubstituteInstrument> model;
  host::DeviceId id = 0;
};

// Drives a download to its end. The instrument takes the image as ended
// after its gap of quiet and answers then: the final wait's ticks start once
// it has. The check's reads are a little apart, so that a busy machine
// still delivers the answer within them.
void Drive(Download &download, const usb::SubstituteInstrument &instrument) {
  download.Start();
  while (!download.Finished()) {
    if (download.Sending()) {
      download.Send_Next_Chunk();
      if (download.Sending()) continue;
      for (int i = 0; i < 1000 && instrument.DownloadInProgress(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    download.Tick();
    if (download.Current_Stage() == Download::Stage::Check) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string Image(std::size_t size) {
  std::string image(size, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + (i >> 10) + size);
  return image;
}

std::string Stored(const usb::SubstituteInstrument &instrument, usb::ImageType type) {
  const usb::Bytes bytes = instrument.Image(type).bytes.ToBytes();
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST(Stale_Answer, A_download_after_an_unread_answer_stores_the_image_whole) {
  for (const char *stale_question : {"*IDN?\n", "ECHO a\n"}) {
    SCOPED_TRACE(stale_question);
    usb::InstrumentConfig config;
    config.imageGap = std::chrono::milliseconds(200);  // longer than any pause between two writes
    Plugged plugged(config);
    const std::vector<std::string> names = List_Instruments(Linked_Library());
    ASSERT_EQ(names.size(), 1u);
    Instrument instrument(Linked_Library(), names[0]);
    ASSERT_EQ(instrument.Write(stale_question), Write_Outcome::Done);

    const std::string image = Image(2500);
    Image_Bytes source(image);
    Download download(instrument, "DL,DSP,NORESET\n", source);
    Drive(download, *plugged.model);
    EXPECT_EQ(download.Current_Stage(), Download::Stage::Succeeded);
    ASSERT_FALSE(download.Dropped().empty());
    EXPECT_EQ(download.Dropped().back(), '\n');
    EXPECT_EQ(Stored(*plugged.model, usb::ImageType::Dsp), image);
    EXPECT_FALSE(plugged.model->DownloadInProgress());
    EXPECT_EQ(plugged.model->Commands().back(), "DL,DSP,NORESET");
    // What the instrument says it holds.
    const Query_Result held = instrument.Query("FW?", 1000);
    EXPECT_EQ(held.dropped, "");
    EXPECT_NE(held.reading.bytes.find("DSP 2500 "), std::string::npos) << held.reading.bytes;
  }
}

TEST(Whole_Stack, Images_of_every_size_arrive_unchanged) {
  usb::InstrumentConfig config;
  config.imageGap = std::chrono::milliseconds(200);  // longer than any pause between two writes
  Plugged plugged(config);
  Instrument instrument(Linked_Library(), List_Instruments(Linked_Library()).at(0));
  const std::pair<std::size_t, usb::ImageType> cases[] = {{1, usb::ImageType::Ip},
                                                          {1023, usb::ImageType::Dsp},
                                                          {1024, usb::ImageType::Fpga},
                                                          {65536, usb::ImageType::Dsp},
                                                          {(3 << 20) + 1, usb::ImageType::Fpga}};
  for (const auto &[size, type] : cases) {
    SCOPED_TRACE(size);
    const std::string image = Image(size);
    Image_Bytes source(image);
    const auto exchange_type = static_cast<Download_Exchange::Image_Type>(type);
    Download download(instrument, Download_Exchange::Command_Line(exchange_type, false), source, {.check = true});
    Drive(download, *plugged.model);
    EXPECT_EQ(download.Current_Stage(), Download::Stage::Succeeded);
    EXPECT_EQ(download.Checked(), Download::Check_Outcome::Verified);
    EXPECT_EQ(Stored(*plugged.model, type), image);
  }
  EXPECT_EQ(plugged.model->CompletedDownloads(), std::size(cases));
}
