// A download right after a question nobody read the answer to, through the
// whole stack (the linked library, the kernel stand-in, the driver and a
// substitute instrument). The unread answer must not be taken for the
// acknowledgement: the identity ends in "1.0.0" and a line feed, which holds
// "0" directly followed by a line feed.
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

std::string Stored(const usb::SubstituteInstrument &instrument, usb::ImageType type) {
  const usb::Bytes bytes = instrument.Image(type).bytes.ToBytes();
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST(Stale_Answer, A_download_after_an_unread_answer_stores_the_image_whole) {
  for (const char *stale_question : {"*IDN?\n", "ECHO a\n"}) {
    SCOPED_TRACE(stale_question);
    usb::InstrumentConfig config;
    config.imageGap = std::chrono::milliseconds(50);
    Plugged plugged(config);
    const std::vector<std::string> names = List_Instruments(Linked_Library());
    ASSERT_EQ(names.size(), 1u);
    Instrument instrument(Linked_Library(), names[0]);
    ASSERT_EQ(instrument.Write(stale_question), Write_Outcome::Done);

    std::string image(2500, '\0');
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + 3);
    Image_Bytes source(image);
    Download download(instrument, "DL,DSP,NORESET\n", source);
    download.Start();
    while (!download.Finished()) {
      if (download.Sending()) {
        download.Send_Next_Chunk();
        if (download.Sending()) continue;
        // The instrument takes the image as ended after its gap of quiet;
        // its final answer comes then.
        for (int i = 0; i < 1000 && plugged.model->DownloadInProgress(); ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
      }
      download.Tick();
    }
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
