// The firmware download as the window shows it: the status window against
// the scripted library; the download start and whole downloads into
// substitute instruments, one of them at the real tick lengths; the file
// selection. The exchange itself (the rules, the waits' tick counts, the
// answers, the check) is tested without Qt in client/.
#include "test_support.h"

#include "frm_log.h"
#include "frm_status.h"

#include <download_exchange.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <chrono>

using Common::kFalse;
using Common::kTrue;
namespace Exchange = Download_Exchange;

namespace {

const QString kDevice = QStringLiteral("TAVRIN-0");
const QStringList kTypeWords = {QStringLiteral("DL,IP"), QStringLiteral("DL,DSP"), QStringLiteral("DL,FPGA")};

QByteArray Image(qsizetype size, std::uint32_t seed) {
  QByteArray bytes(size, Qt::Uninitialized);
  std::uint32_t x = seed * 2654435761u + 1;
  for (char &b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<char>(x >> 24);
  }
  return bytes;
}

QByteArray Stored_Image(usb::SubstituteInstrument &instrument, int type) {
  const usb::Bytes bytes = instrument.Image(static_cast<usb::ImageType>(type)).bytes.ToBytes();
  return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// Reads for the scripted library, after the empty read that ends the drain
// before the download line: "-" brings nothing; any other text is one
// read's bytes (an empty text a successful read of nothing).
void Script_Reads(Test_Driver_State &driver, const QStringList &reads) {
  for (const QString &read : QStringList{QStringLiteral("-")} + reads) {
    if (read == QStringLiteral("-")) {
      driver.interrogative.push_back({0, {}});
    } else {
      const std::string bytes = read.isEmpty() ? std::string(1, '\0') : read.toStdString();
      driver.interrogative.push_back({static_cast<std::int32_t>(bytes.size()), bytes});
    }
  }
}

// What a status window showed during a download. It presses OK once an error
// shows (unless told not to), and ends a download that would never end.
class Status_Watch : public QObject {
 public:
  struct Shown_State {
    QString Filename, Status;
    bool Error_Button = false;
    int Bar = -1;
  };

  explicit Status_Watch(Frm_Status &status, Frm_Main *form = nullptr, bool dismiss_errors = true) : status_(status) {
    connect(&status, &Frm_Status::Status_Changed, this, [this, form, dismiss_errors](const QString &caption) {
      Captions.append(caption);
      if (form != nullptr) {
        Polling_Stopped = Polling_Stopped && !form->Timer1->isActive();
        Buttons_Disabled = Buttons_Disabled && !form->Cmd_Send->isEnabled() && !form->Cmd_Send_File->isEnabled();
        Modal = Modal && QApplication::activeModalWidget() == &status_;
      }
      if (dismiss_errors && caption.startsWith(QStringLiteral("Error : "))) {
        QTimer::singleShot(0, &status_, [this] {
          if (status_.cmd_Error->isVisibleTo(&status_)) status_.cmd_Error->click();
        });
      }
    });
    connect(status.ProgressBar1, &QProgressBar::valueChanged, this, [this](int value) { Bar.append(value); });
    status.installEventFilter(this);
    guard_.setSingleShot(true);
    connect(&guard_, &QTimer::timeout, this, [this] {
      Hung = true;
      status_.Unload();
    });
    guard_.start(std::chrono::seconds(30));
  }

  bool eventFilter(QObject *, QEvent *event) override {
    if (event->type() == QEvent::Show) {
      Shown.push_back({status_.lbl_Filename->text(), status_.lbl_Status->text(),
                       status_.cmd_Error->isVisibleTo(&status_), status_.ProgressBar1->value()});
    }
    return false;
  }

  QStringList Captions;
  QList<int> Bar;
  std::vector<Shown_State> Shown;
  bool Polling_Stopped = true, Buttons_Disabled = true, Modal = true, Hung = false;

 private:
  Frm_Status &status_;
  QTimer guard_;
};

class Download_Test : public QObject {
  Q_OBJECT

 private slots:
  void init() { Use_Real_Library(); }
  void cleanup() {
    status_.reset();
    form_ = nullptr;
    console_.reset();
    Use_Real_Library();
  }

  // ---- The status window's transfer, against the scripted library ----------------------------
  void A_2500_byte_file_goes_as_1024_1024_452_showing_41_82_100() {
    Test_Driver_State &driver = Use_Test_Driver();
    Script_Reads(driver, {"0\n", "0\n"});
    const QByteArray image = Image(2500, 1);
    Frm_Status &status = Prepared_Status(image, QStringLiteral("DL,IP,RESET\n"));
    Status_Watch watch(status);
    QCOMPARE(status.lbl_Filename->text(), QStringLiteral("Sending... ") + path_);
    Transfer(status);

    QCOMPARE(driver.writes.size(), std::size_t{4});
    QVERIFY(driver.writes[3].device == u"TAVRIN-0");
    QCOMPARE(QByteArray::fromStdString(driver.writes[3].buffer), image.mid(2048));
    QCOMPARE(watch.Captions, (QStringList{"41%", "82%", "100%", "Complete"}));
    QCOMPARE(watch.Bar, (QList<int>{41, 82, 100}));
    QCOMPARE(status.Progress(), 100.0f);
    // Closed by itself.
    QVERIFY(!status.Loaded());
    QVERIFY(!status.isVisible());
    QVERIFY(!status.Timer1->isActive());
    QVERIFY(!status.Timer2->isActive());
    QVERIFY(!status.Transfer_Running());
  }

  void Answers_decide_the_outcome_data() {
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<bool>("command_fails");
    QTest::addColumn<QString>("caption");
    QTest::newRow("accepted") << QStringList{"0\n", "0\n"} << false << "Complete";
    QTest::newRow("refused") << QStringList{"1\n"} << false << "Error : 1";
    QTest::newRow("silence") << QStringList{} << false << "Error : Timed out";
    QTest::newRow("final answer refused") << QStringList{"0\n", "E\n"} << false << "Error : E";
    QTest::newRow("command line not written") << QStringList{"0\n"} << true << "Error : Unable to write to device";
  }
  void Answers_decide_the_outcome() {
    QFETCH(QStringList, reads);
    QFETCH(bool, command_fails);
    QFETCH(QString, caption);
    Test_Driver_State &driver = Use_Test_Driver();
    Script_Reads(driver, reads);
    if (command_fails) driver.write_results = {0};
    Frm_Status &status = Prepared_Status(Image(2500, 2), QStringLiteral("DL,DSP,NORESET\n"));
    Status_Watch watch(status, nullptr, false);
    Transfer(status);
    QCOMPARE(watch.Captions.last(), caption);
    const bool failed = caption.startsWith(QStringLiteral("Error : "));
    QCOMPARE(status.Loaded(), failed);
    QCOMPARE(status.isVisible(), failed);
    if (failed) {
      // The error stays on show until OK is pressed.
      QCOMPARE(status.lbl_Status->text(), caption);
      QVERIFY(status.cmd_Error->isVisible());
      QTest::mouseClick(status.cmd_Error, Qt::LeftButton);
      QVERIFY(!status.Loaded());
      QVERIFY(!status.isVisible());
    }
  }

  // An answer nobody read is dropped before the download line, not taken for
  // its acknowledgement: here the instrument's own answer refuses.
  void A_stale_answer_is_no_acknowledgement() {
    Test_Driver_State &driver = Use_Test_Driver();
    driver.interrogative.push_back({27, "TAVRIN,570x,TVR00000,1.0.0\n"});
    Script_Reads(driver, {"1\n"});
    Frm_Status &status = Prepared_Status(Image(2500, 11), QStringLiteral("DL,DSP,NORESET\n"));
    Status_Watch watch(status, nullptr, false);
    Transfer(status);
    QCOMPARE(watch.Captions, QStringList{"Error : 1"});
    QCOMPARE(driver.writes.size(), std::size_t{1});  // the download line only
  }

  void A_failed_write_ends_the_data_and_its_error_stays() {
    Test_Driver_State &driver = Use_Test_Driver();
    Script_Reads(driver, {"0\n", "0\n"});
    driver.write_results = {1, 1, 0};  // the command line, the first chunk, then a failure
    Frm_Status &status = Prepared_Status(Image(5000, 3), QStringLiteral("DL,FPGA,RESET\n"));
    Status_Watch watch(status, nullptr, false);
    Transfer(status);
    QCOMPARE(driver.writes.size(), std::size_t{3});  // no chunk after the failed one
    // The final answer is still awaited, but a partial image is no "Complete".
    QCOMPARE(watch.Captions, (QStringList{"20%", "Error : Unable to write to device"}));
    QVERIFY(status.Loaded());
    QVERIFY(status.cmd_Error->isVisible());
    QTest::keyClick(&status, Qt::Key_Escape);
    QVERIFY(!status.Loaded());
  }

  void Cancel_stops_the_image_and_warns_of_the_partial_image() {
    Test_Driver_State &driver = Use_Test_Driver();
    Script_Reads(driver, {"0\n", "0\n"});
    Frm_Status &status = Prepared_Status(Image(5000, 10), QStringLiteral("DL,IP,RESET\n"));
    Status_Watch watch(status, nullptr, false);
    bool cancel_offered = false;
    connect(&status, &Frm_Status::Status_Changed, &status, [&](const QString &caption) {
      if (caption != QStringLiteral("20%")) return;
      cancel_offered = status.cmd_Cancel->isVisible() && !status.cmd_Error->isVisible();
      QTest::mouseClick(status.cmd_Cancel, Qt::LeftButton);
    });
    QVERIFY(!status.cmd_Cancel->isVisible());
    Transfer(status);
    QVERIFY(cancel_offered);
    QCOMPARE(driver.writes.size(), std::size_t{2});  // the command line and one chunk
    QCOMPARE(watch.Captions, (QStringList{"20%", QStringLiteral("Error : ") + Frm_Status::kCancelled}));
    QVERIFY(watch.Captions.last().contains(QStringLiteral("partial image")));
    QCOMPARE(driver.interrogative.size(), std::size_t{0});  // the final answer is still taken
    QVERIFY(status.Loaded());
    QVERIFY(status.cmd_Error->isVisible());
    QVERIFY(!status.cmd_Cancel->isVisible());
    // The whole warning shows, wrapped, above the bar and the OK button.
    QLabel &caption = *status.lbl_Status;
    QCOMPARE(caption.text(), watch.Captions.last());
    QVERIFY(caption.wordWrap());
    QVERIFY(caption.height() >= caption.heightForWidth(caption.width()));
    QVERIFY(caption.geometry().bottom() < status.ProgressBar1->geometry().top());
    QVERIFY(status.ProgressBar1->geometry().bottom() < status.cmd_Error->geometry().top());
    QVERIFY(status.rect().contains(status.cmd_Error->geometry()));
  }

  void Closing_mid_transfer_only_once_the_OK_button_shows() {
    Test_Driver_State &driver = Use_Test_Driver();
    Script_Reads(driver, {"0\n"});  // then no final answer
    driver.write_results = {1, 0};  // the first chunk fails
    Frm_Status &status = Prepared_Status(Image(3000, 4), QStringLiteral("DL,IP,NORESET\n"));
    Status_Watch watch(status, nullptr, false);
    // During the acknowledgement wait Escape and the window's close are refused.
    bool closed_early = true;
    QTimer::singleShot(0, &status, [&] {
      QTest::keyClick(&status, Qt::Key_Escape);
      closed_early = !status.isVisible() || status.close();
    });
    // Once the OK button shows, pressing it during the final wait ends the
    // wait as failed and the transfer with it.
    connect(&status, &Frm_Status::Status_Changed, &status, [&](const QString &caption) {
      if (caption.startsWith(QStringLiteral("Error : "))) QTimer::singleShot(0, status.cmd_Error, &QPushButton::click);
    });
    Transfer(status);
    QVERIFY(!closed_early);
    QCOMPARE(watch.Captions, QStringList{"Error : Unable to write to device"});
    QVERIFY(driver.interrogative_calls.size() < 102);
    QVERIFY(!status.Loaded());
    QVERIFY(!status.isVisible());
    QVERIFY(!status.Transfer_Running());
  }

  void A_run_time_error_is_reported_and_the_window_can_be_dismissed() {
    Test_Driver_State &driver = Use_Test_Driver();
    Script_Reads(driver, {"-", "0\n"});
    Frm_Status &status = Prepared_Status(Image(2048, 5), QStringLiteral("DL,IP,RESET\n"));
    // The file goes while the acknowledgement is awaited.
    QTimer::singleShot(0, &status, [this] { QFile::remove(path_); });
    Transfer(status);
    QCOMPARE(messages_.Messages, QStringList{"53 File not found"});
    QCOMPARE(driver.writes.size(), std::size_t{1});  // the command line only
    QCOMPARE(status.lbl_Status->text(), QString());
    QVERIFY(!status.Transfer_Running());
    QVERIFY(status.Loaded());
    QVERIFY(status.cmd_Error->isVisible());  // so that it can be dismissed
    QVERIFY(status.close());                 // and the window system's close is taken too
    QVERIFY(!status.Loaded());
  }

  // ---- Whole downloads from the main window into substitute instruments ----------------------
  void Images_arrive_unchanged_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("reset");
    QTest::newRow("1 byte, IP") << qint64(1) << 0 << false;
    QTest::newRow("2500 bytes, FPGA, Reset") << qint64(2500) << 2 << true;
  }
  void Images_arrive_unchanged() {
    QFETCH(qint64, size);
    QFETCH(int, type);
    QFETCH(bool, reset);
    Instruments instruments(1);
    Quicken(instruments[0]);
    Console console;
    Frm_Main &form = Connected(console);
    const QByteArray image = Image(size, std::uint32_t(size));
    Status_Watch watch(*form.frm_Status, &form);
    Download_Whole(console, form, instruments[0], image, type, reset, watch);
    if (QTest::currentTestFailed()) return;
    const QString line = kTypeWords[type] + (reset ? QStringLiteral(",RESET") : QStringLiteral(",NORESET"));
    // Verification is off at first: nothing follows the image.
    QCOMPARE(instruments[0].Commands(), (std::vector<std::string>{line.toStdString()}));
    const qsizetype chunks = (size + 1023) / 1024;
    QCOMPARE(watch.Captions.size(), chunks + 1);
    QCOMPARE(watch.Captions.at(chunks - 1), QStringLiteral("100%"));
    QCOMPARE(watch.Captions.last(), QStringLiteral("Complete"));
    QVERIFY(watch.Polling_Stopped);
    QVERIFY(watch.Buttons_Disabled);
    QVERIFY(watch.Modal);
    // Closed by itself; polling and the buttons are back.
    QVERIFY(!form.frm_Status->Loaded());
    QVERIFY(!form.frm_Status->isVisible());
    QVERIFY(form.Timer1->isActive());
    QVERIFY(form.Cmd_Send->isEnabled());
    QVERIFY(form.Cmd_Send_File->isEnabled());
    QVERIFY(console.Messages.Messages.isEmpty());
    if (reset) {
      QTRY_COMPARE_WITH_TIMEOUT(instruments[0].Resets(), std::size_t{1}, 10000);
      QTRY_VERIFY_WITH_TIMEOUT(!Common::Strip_Nul(Common::USB_Get_ALL_Available_DeviceName()).isEmpty(), 10000);
    }
  }

  // The window's own timing (Timer1 10 ms, Timer2 100 ms, one read per tick)
  // against the instrument's own (end-of-image gap and first-byte time-out
  // at their defaults): the acknowledgement is read on the second tick,
  // some 200 ms after the download line, and the image follows only then.
  // Every image must arrive whole, the instrument must end up back in
  // command mode with nothing queued, and the check must confirm it.
  void Downloads_at_the_real_tick_lengths_store_every_image() {
    Instruments instruments(1);
    Console console;
    Frm_Main &form = Connected(console);
    form.frm_Status->Set_Timer_Intervals(10, Exchange::kWaitTickMs);
    form.act_Verify->setChecked(true);  // "Verify downloads"
    const qint64 sizes[] = {3000, 1, 70000, 1024, 4097, 20000};
    std::size_t commands = 0;
    for (int round = 0; round < 6; ++round) {
      const int type = round % 3;
      const bool reset = round == 5;
      Status_Watch watch(*form.frm_Status, &form);
      Download_Whole(console, form, instruments[0], Image(sizes[round], std::uint32_t(100 + round)), type, reset, watch);
      if (QTest::currentTestFailed()) return;
      QCOMPARE(watch.Captions.last(), Frm_Status::kCompleteVerified);
      QVERIFY(!instruments[0].DownloadInProgress());
      const std::vector<std::string> taken = instruments[0].Commands();
      QCOMPARE(taken.size(), commands + 2);  // the download line and the check; no image bytes as commands
      QCOMPARE(taken.back(), std::string("FW?"));
      commands = taken.size();
      QVERIFY(console.Messages.Messages.isEmpty());
    }
    QCOMPARE(instruments[0].CompletedDownloads(), std::size_t{6});
    QCOMPARE(instruments[0].Resets(), std::size_t{1});
    // Nothing was left waiting on the interrogative channel.
    QString device = Common::Pad_Nul(kDevice);
    QTRY_VERIFY_WITH_TIMEOUT(!Common::Strip_Nul(Common::USB_Get_ALL_Available_DeviceName()).isEmpty(), 10000);
    QCOMPARE(Common::Read_Interrogative(device).Success, kFalse);
  }

  void Instrument_failures_show_in_the_window_data() {
    QTest::addColumn<int>("failure");
    QTest::addColumn<QString>("caption");
    QTest::newRow("silence") << 0 << "Error : Timed out";
    QTest::newRow("refusal") << 1 << "Error : 1";
    QTest::newRow("stalled command pipe") << 2 << "Error : Unable to write to device";
    QTest::newRow("removed after listing") << 3 << "Error : Unable to write to device";
  }
  void Instrument_failures_show_in_the_window() {
    QFETCH(int, failure);
    QFETCH(QString, caption);
    Instruments instruments(1);
    usb::InstrumentConfig config = instruments[0].Config();
    if (failure == 0) config.firstAck.reset();
    if (failure == 1) config.firstAck = "1\n";
    if (failure == 2) config.commandPipeStalled = true;
    instruments[0].SetConfig(config);
    Console console;
    Frm_Main &form = Connected(console);
    if (failure == 3) instruments.Unplug(0);
    const QString path = QDir(console.Directory()).filePath(QStringLiteral("image.bin"));
    QVERIFY(Save_File(path, Image(4096, 6)));
    Choose(form, 0, false, path);

    Status_Watch watch(*form.frm_Status, &form);
    form.Cmd_Send_File_Click();  // returns once OK is pressed
    QVERIFY(!watch.Hung);
    QCOMPARE(watch.Captions, QStringList{caption});  // no data went
    // The main window's last error: the reason, after its own "Last error: ".
    QCOMPARE(form.lbl_Last_Error->text(), QStringLiteral("Last error: ") + caption.mid(8));
    if (failure < 3) {
      QCOMPARE(instruments[0].DownloadedBytes(), std::size_t{0});
      QCOMPARE(instruments[0].Image(usb::ImageType::Ip).size, std::size_t{0});
      QCOMPARE(instruments[0].Commands().size(), std::size_t(failure == 2 ? 0 : 1));
    }
    QVERIFY(!form.frm_Status->Loaded());
    QVERIFY(form.Timer1->isActive());
    QVERIFY(form.Cmd_Send_File->isEnabled());
  }

  void Two_downloads_in_a_row_start_clean() {
    Instruments instruments(1);
    Quicken(instruments[0]);
    usb::InstrumentConfig refusing = instruments[0].Config();
    refusing.firstAck = "1\n";
    instruments[0].SetConfig(refusing);
    Console console;
    Frm_Main &form = Connected(console);
    Frm_Status *const status = form.frm_Status;
    const QString first = QDir(console.Directory()).filePath(QStringLiteral("first.bin"));
    const QString second = QDir(console.Directory()).filePath(QStringLiteral("second.bin"));
    QVERIFY(Save_File(first, Image(3000, 7)));
    QVERIFY(Save_File(second, Image(5000, 8)));
    {
      Choose(form, 0, true, first);
      Status_Watch watch(*status, &form);
      form.Cmd_Send_File_Click();
      QCOMPARE(watch.Captions, QStringList{"Error : 1"});
    }
    usb::InstrumentConfig accepting = refusing;
    accepting.firstAck = "0\n";
    instruments[0].SetConfig(accepting);
    Choose(form, 2, false, second);
    Status_Watch watch(*status, &form);
    form.Cmd_Send_File_Click();
    QCOMPARE(form.frm_Status, status);  // the same window object
    QCOMPARE(watch.Shown.size(), std::size_t{1});
    QCOMPARE(watch.Shown[0].Filename, QStringLiteral("Sending... ") + second);
    QCOMPARE(watch.Shown[0].Status, QString());
    QVERIFY(!watch.Shown[0].Error_Button);
    QCOMPARE(watch.Shown[0].Bar, 0);
    QCOMPARE(status->Command_String, QStringLiteral("DL,FPGA,NORESET\n"));
    QCOMPARE(status->File_Name, second);
    QCOMPARE(status->Device_Name, Common::Pad_Nul(kDevice));
    QCOMPARE(watch.Captions.last(), QStringLiteral("Complete"));
    QCOMPARE(Stored_Image(instruments[0], 2), Image(5000, 8));
    // The outcome stays on record once the window has closed; the first
    // download's error is over.
    QVERIFY2(form.lbl_Last_Error->text().startsWith(QStringLiteral("Last download to TAVRIN-0: Complete at ")),
             qPrintable(form.lbl_Last_Error->text()));
    const Frm_Log::Entry &note = form.frm_Log->Entries().back();
    QCOMPARE(note.Channel, Frm_Log::kNoteChannel);
    QCOMPARE(note.Text, QStringLiteral("download of %1: Complete").arg(second));
  }

  // ---- Download start without a download (scripted library) --------------------------------
  void Files_that_are_missing_or_empty_send_nothing_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("located");
    QTest::newRow("missing") << "missing.bin" << false;
    QTest::newRow("directory") << "folder" << false;
    QTest::newRow("nothing typed") << "" << false;
    QTest::newRow("empty: says so") << "empty.bin" << true;
  }
  void Files_that_are_missing_or_empty_send_nothing() {
    QFETCH(QString, name);
    QFETCH(bool, located);
    Test_Driver_State &driver = Scripted_Connection();
    const QDir directory(console_->Directory());
    QVERIFY(directory.mkpath(QStringLiteral("folder")));
    QVERIFY(Save_File(directory.filePath(QStringLiteral("empty.bin")), QByteArray()));
    const QString path = name.isEmpty() ? QString() : directory.filePath(name);
    Choose(*form_, 1, true, path);
    form_->Cmd_Send_File_Click();
    QCOMPARE(console_->Messages.Messages,
             located ? QStringList{QStringLiteral("Download not started: %1 is empty").arg(path)}
                     : QStringList{QStringLiteral("Unable to locate file: ") + path});
    QVERIFY(driver.writes.empty());
    QVERIFY(!form_->frm_Status->Loaded());
    QVERIFY(form_->Timer1->isActive());
    QVERIFY(form_->Cmd_Send_File->isEnabled());
  }

  void No_usable_row_disconnects_and_polling_resumes() {
    Test_Driver_State &driver = Use_Test_Driver();
    driver.device_list = u"";
    Console console;
    Frm_Main &form = console.Start();
    form.Enable_Send_Buttons(kTrue);  // left enabled by a poll that found nothing
    const QString path = QDir(console.Directory()).filePath(QStringLiteral("image.bin"));
    QVERIFY(Save_File(path, Image(10, 9)));
    Choose(form, 0, true, path);
    form.Cmd_Send_File_Click();
    QCOMPARE(console.Messages.Messages, QStringList{QStringLiteral("Download not started: no instrument is selected")});
    QCOMPARE(form.Connected, kFalse);
    QVERIFY(!form.Cmd_Send->isEnabled());
    QVERIFY(!form.Cmd_Send_File->isEnabled());
    QVERIFY(form.Timer1->isActive());
    QVERIFY(!form.frm_Status->Loaded());
    QVERIFY(driver.writes.empty());
  }

  // ---- File selection ----------------------------------------------------------------------
  void A_chosen_file_goes_into_its_box_and_the_store_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("key");
    QTest::newRow("IP") << 0 << "IP";
    QTest::newRow("DSP") << 1 << "DSP";
    QTest::newRow("FPGA") << 2 << "FPGA";
  }
  void A_chosen_file_goes_into_its_box_and_the_store() {
    QFETCH(int, type);
    QFETCH(QString, key);
    Console console;
    Frm_Main &form = console.Start();
    const QString chosen = QStringLiteral("/firmware/new image ") + key + QStringLiteral(".bin");
    console.Dialog.Answers = {chosen};
    QPushButton *buttons[] = {form.Cmd_Get_IP_File_Name, form.Cmd_DSP_Get_File_Name, form.Cmd_FPGA_Get_File_Name};
    QTest::mouseClick(buttons[type], Qt::LeftButton);
    QCOMPARE(console.Dialog.Displays.size(), std::size_t{1});
    QCOMPARE(console.Dialog.Displays[0].Title, QStringLiteral("Select File Location"));
    QCOMPARE(console.Dialog.Displays[0].Filter, QStringLiteral(" *.*| *.*"));
    const QStringList keys = {"IP", "DSP", "FPGA"};
    for (int i = 0; i < 3; ++i) {
      QCOMPARE(Location(form, i)->text(), i == type ? chosen : QString());
      QCOMPARE(console.Stored(QStringLiteral("FileName/") + keys[i]), i == type ? chosen : QString());
    }
    Frm_Main &again = console.Start();  // the next run shows it
    QCOMPARE(Location(again, type)->text(), chosen);
  }

  void A_cancelled_or_failed_dialog_changes_nothing() {
    Console console;
    Frm_Main &form = console.Start();
    console.Dialog.Answers = {QStringLiteral("/firmware/dsp.bin"), QString(), Scripted_File_Dialog::kFails};
    form.Cmd_DSP_Get_File_Name_Click();
    form.txt_DSP_Firmware_Location->setText(QStringLiteral("/typed/by/hand.bin"));
    form.Cmd_DSP_Get_File_Name_Click();  // cancelled
    form.Cmd_DSP_Get_File_Name_Click();  // fails
    QCOMPARE(form.txt_DSP_Firmware_Location->text(), QStringLiteral("/typed/by/hand.bin"));
    QCOMPARE(console.Stored(QStringLiteral("FileName/DSP")), QStringLiteral("/firmware/dsp.bin"));
    // The dialog keeps its file name from one display to the next.
    QCOMPARE(console.Dialog.Displays.size(), std::size_t{3});
    QCOMPARE(console.Dialog.Displays[1].File_Name, QStringLiteral("/firmware/dsp.bin"));
    QCOMPARE(Qt_File_Dialog::Name_Filters(QStringLiteral(" *.*| *.*")), QStringList{" *.* (*)"});
  }

 private:
  // Runs the transfer as the window's Timer1 starts it and its timers drive
  // it, until it has ended.
  static void Transfer(Frm_Status &status) {
    status.Timer1_Timer();
    QTRY_VERIFY_WITH_TIMEOUT(!status.Transfer_Running(), 30000);
  }

  Frm_Status &New_Status() {
    messages_.Messages.clear();
    status_ = std::make_unique<Frm_Status>(&messages_);
    status_->Set_Timer_Intervals(1, 1);
    return *status_;
  }

  // A shown status window set up as the download start does, for `image`
  // in a throw-away file; the test then runs its Timer1 tick.
  Frm_Status &Prepared_Status(const QByteArray &image, const QString &command) {
    path_ = QDir(directory_.path()).filePath(QStringLiteral("image.bin"));
    if (!Save_File(path_, image)) qFatal("cannot write %s", qPrintable(path_));
    Frm_Status &status = New_Status();
    status.Set_Command_String(command);
    status.Set_File_Name(path_);
    status.Set_Device_Name(Common::Pad_Nul(kDevice));
    status.show();
    return status;
  }

  // The end of an image shows after 200 ms of quiet: longer than any pause
  // between two writes, even on a busy machine, and shorter than the final
  // wait's 100 ticks of at least 5 ms. A reset is over in 20 ms.
  static void Quicken(usb::SubstituteInstrument &instrument) {
    usb::InstrumentConfig config = instrument.Config();
    config.imageGap = std::chrono::milliseconds(200);
    config.resetDelay = std::chrono::milliseconds(20);
    instrument.SetConfig(config);
  }

  // Saves `image` as the file of `type`, downloads it from the window and
  // checks that the instrument stored it whole.
  static void Download_Whole(Console &console, Frm_Main &form, usb::SubstituteInstrument &instrument,
                             const QByteArray &image, int type, bool reset, Status_Watch &watch) {
    const QString path = QDir(console.Directory()).filePath(QStringLiteral("image.bin"));
    QVERIFY(Save_File(path, image));
    Choose(form, type, reset, path);
    form.Cmd_Send_File_Click();
    QVERIFY(!watch.Hung);
    QCOMPARE(Stored_Image(instrument, type), image);
  }

  static Frm_Main &Connected(Console &console) {
    Frm_Main &form = console.Start();
    form.Timer1_Timer();  // discovery
    if (form.Connected != kTrue) qFatal("not connected");
    return form;
  }

  Test_Driver_State &Scripted_Connection() {
    Test_Driver_State &driver = Use_Test_Driver();
    driver.device_list = u"TAVRIN-0\r\n";
    console_ = std::make_unique<Console>();
    form_ = &Connected(*console_);
    return driver;
  }

  static QLineEdit *Location(Frm_Main &form, int type) {
    QLineEdit *boxes[] = {form.txt_IP_Firmware_Location, form.txt_DSP_Firmware_Location, form.txt_FPGA_Firmware_Location};
    return boxes[type];
  }

  // Selects the image type and reset choice and types the path into the
  // type's box; the other boxes hold paths that do not exist.
  static void Choose(Frm_Main &form, int type, bool reset, const QString &path) {
    for (int i = 0; i < 3; ++i) Location(form, i)->setText(QStringLiteral("/nowhere/at/all"));
    Location(form, type)->setText(path);
    form.Opt_File_Type[std::size_t(type)]->setChecked(true);
    form.After_Download_Opt[reset ? 0 : 1]->setChecked(true);
  }

  QTemporaryDir directory_;
  QString path_;
  Recording_Message_Box messages_;
  std::unique_ptr<Frm_Status> status_;
  std::unique_ptr<Console> console_;
  Frm_Main *form_ = nullptr;
};

}  // namespace

int Run_Download_Tests(int argc, char **argv) {
  Download_Test test;
  return QTest::qExec(&test, argc, argv);
}

#include "download_test.moc"
