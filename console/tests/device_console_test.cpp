// The device list and the command console: discovery and polling on Timer1
// against substitute instruments, the Send handler, the reply rule, and an
// instrument pulled out while connected.
#include "test_support.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using Common::kFalse;
using Common::kTrue;

namespace {

std::vector<std::string> Commands(usb::SubstituteInstrument &instrument) { return instrument.Commands(); }

class Device_Console_Test : public QObject {
  Q_OBJECT

 private slots:
  void init() { Use_Real_Library(); }
  void cleanup() {
    form_ = nullptr;
    console_.reset();
    Use_Real_Library();
  }

  // ---- Against substitute instruments ---------------------------------------------
  void Without_instruments_discovery_runs_every_five_seconds() {
    Console console;
    Frm_Main &form = console.Start();
    QCOMPARE(Rows(form.List_Devices), QStringList{Frm_Main::kNoDevices});
    QCOMPARE(form.List_Devices->currentRow(), 0);
    QCOMPARE(form.Timer1->interval(), 100);  // the first discovery follows start-up closely
    for (int tick = 0; tick < 2; ++tick) {
      form.Timer1_Timer();
      QCOMPARE(form.Connected, kFalse);
      QCOMPARE(form.Timer1->interval(), 5000);
      QVERIFY(form.Timer1->isActive());
      QVERIFY(!form.Cmd_Send->isEnabled());
      QVERIFY(!form.Cmd_Send_File->isEnabled());
      QCOMPARE(Rows(form.List_Devices), QStringList{Frm_Main::kNoDevices});
    }
  }

  void Timer1_runs_the_tick_handler() {
    Instruments instruments(1);
    Console console;
    Frm_Main &form = console.Start_With_Timer();
    QVERIFY(form.Timer1->isActive());
    form.Timer1->setInterval(0);  // the first tick is due at once
    QTRY_COMPARE_WITH_TIMEOUT(form.Connected, kTrue, 5000);
    QCOMPARE(form.Timer1->interval(), 5000);
    QVERIFY(form.Timer1->isActive());
  }

  void A_plugged_instrument_is_found_connected_then_polled() {
    Console console;
    Frm_Main &form = console.Start();
    form.Timer1_Timer();
    QCOMPARE(form.Connected, kFalse);

    Instruments instruments(1);
    form.Timer1_Timer();  // discovery finds it
    QCOMPARE(Rows(form.List_Devices), QStringList{QStringLiteral("TAVRIN-0")});
    QCOMPARE(form.Selected_Device(), QStringLiteral("TAVRIN-0"));
    QCOMPARE(form.Connected, kTrue);
    QVERIFY(form.Cmd_Send->isEnabled());
    QVERIFY(form.Cmd_Send_File->isEnabled());
    QCOMPARE(form.Timer1->interval(), 5000);  // the first poll follows one discovery interval later
    QVERIFY(form.Timer1->isActive());

    form.Timer1_Timer();  // polling
    QCOMPARE(form.Connected, kTrue);
    QCOMPARE(form.Timer1->interval(), 100);
    QVERIFY(form.Timer1->isActive());
    form.Timer1_Timer();
    QCOMPARE(form.Timer1->interval(), 100);
  }

  void Sends_and_polls_go_to_the_selected_instrument() {
    Instruments instruments(2);
    Console console;
    Frm_Main &form = console.Start();
    QCOMPARE(Rows(form.List_Devices), (QStringList{QStringLiteral("TAVRIN-0"), QStringLiteral("TAVRIN-1")}));
    QCOMPARE(form.List_Devices->currentRow(), 0);
    form.Timer1_Timer();
    QCOMPARE(form.Connected, kTrue);

    form.List_Devices->setCurrentRow(1);
    form.txt_Command->setText(QStringLiteral("ECHO one"));
    form.Cmd_Send->click();
    QCOMPARE(Commands(instruments[1]), std::vector<std::string>{"ECHO one"});
    QVERIFY(Commands(instruments[0]).empty());
    QCOMPARE(form.txt_Command->text(), QStringLiteral("ECHO one"));  // the command stays in the box

    form.Timer1_Timer();
    QCOMPARE(form.txt_USBI_Buffer->toPlainText(), QStringLiteral("one"));
    QCOMPARE(Common::Last_Interrogative_Reply, QStringLiteral("one\n"));
  }

  void A_command_and_its_answers_on_both_channels() {
    Instruments instruments(1);
    Console console;
    Frm_Main &form = console.Start();
    form.Timer1_Timer();
    form.txt_Command->setText(QStringLiteral("MEAS?"));
    form.Cmd_Send_Click();
    // Five characters went out as six bytes, the sixth a line feed that ended the line.
    QCOMPARE(Commands(instruments[0]), std::vector<std::string>{"MEAS?"});
    QCOMPARE(form.Connected, kTrue);
    QCOMPARE(form.History_Count, std::int16_t{0});

    form.Timer1_Timer();
    QCOMPARE(form.txt_USBI_Buffer->toPlainText(), QString::fromStdString(usb::SubstituteInstrument::Reading(1)));

    form.txt_Command->setText(QStringLiteral("FMT 2"));
    form.Cmd_Send_Click();
    QCOMPARE(form.txt_USBI_Buffer->toPlainText(), QString());  // Send empties it first
    form.Timer1_Timer();
    const QString expected = QStringLiteral("FMT 1 of 2: %1FMT 2 of 2: %2")
                                 .arg(QString::fromStdString(usb::SubstituteInstrument::Reading(1)),
                                      QString::fromStdString(usb::SubstituteInstrument::Reading(2)));
    QCOMPARE(form.txt_USBF_Buffer->toPlainText(), expected);
    QVERIFY(Common::Last_Formatted_Reply.endsWith(QLatin1Char('\n')));
  }

  void Unplugging_while_connected_drops_the_connection_in_steps() {
    Instruments instruments(1);
    Console console;
    Frm_Main &form = console.Start();
    form.Timer1_Timer();  // discovery: connected
    form.Timer1_Timer();  // polling
    QCOMPARE(form.Timer1->interval(), 100);

    instruments.Unplug(0);
    form.Timer1_Timer();  // the poll finds nothing: the flag only
    QCOMPARE(form.Connected, kFalse);
    QVERIFY(form.Cmd_Send->isEnabled());
    QVERIFY(form.Cmd_Send_File->isEnabled());
    QCOMPARE(form.Timer1->interval(), 100);  // so discovery follows at once
    QVERIFY(form.Timer1->isActive());

    form.Timer1_Timer();  // discovery
    QCOMPARE(Rows(form.List_Devices), QStringList{Frm_Main::kNoDevices});
    QCOMPARE(form.Connected, kFalse);
    QCOMPARE(form.Timer1->interval(), 5000);
    QVERIFY(form.Cmd_Send->isEnabled());

    form.txt_USBI_Buffer->setPlainText(QStringLiteral("old"));
    form.txt_Command->setText(QStringLiteral("*IDN?"));
    form.Cmd_Send->click();
    QVERIFY(!form.Cmd_Send->isEnabled());
    QVERIFY(!form.Cmd_Send_File->isEnabled());
    QCOMPARE(form.txt_USBI_Buffer->toPlainText(), QString());
    QCOMPARE(form.History_Count, std::int16_t{-1});  // nothing was sent
  }

  void A_failed_write_drops_the_connection_but_keeps_the_command() {
    Instruments instruments(1);
    Console console;
    Frm_Main &form = console.Start();
    form.Timer1_Timer();
    QCOMPARE(form.Connected, kTrue);
    usb::InstrumentConfig stalled = instruments[0].Config();
    stalled.commandPipeStalled = true;
    instruments[0].SetConfig(stalled);
    form.txt_Command->setText(QStringLiteral("*IDN?"));
    form.Cmd_Send_Click();
    QCOMPARE(form.Connected, kFalse);
    QVERIFY(!form.Cmd_Send->isEnabled());
    QCOMPARE(form.Command_History, QStringList{QStringLiteral("*IDN?")});
    form.Timer1_Timer();  // discovery resumes and finds the instrument again
    QCOMPARE(form.Connected, kTrue);
  }

  // ---- Against the scripted library -------------------------------------------------
  void A_command_crosses_as_its_bytes_and_a_line_feed() {
    Test_Driver_State &driver = Use_Test_Driver();
    driver.device_list = u"TAVRIN-0\r\n";
    Console console;
    Frm_Main &form = console.Start();
    form.Timer1_Timer();
    form.txt_Command->setText(QStringLiteral("ABCDE"));
    form.Cmd_Send_Click();
    QCOMPARE(driver.writes.size(), std::size_t{1});
    QCOMPARE(driver.writes[0].buffer, std::string("ABCDE\n"));
    QCOMPARE(driver.writes[0].length, 6);
    QVERIFY(driver.writes[0].device == u"TAVRIN-0");
  }

  void Enter_in_the_command_box_presses_Send_while_it_is_enabled() {
    Test_Driver_State &driver = Connected_To_Script();
    form_->txt_Command->setText(QStringLiteral("*IDN?"));
    QTest::keyClick(form_->txt_Command, Qt::Key_Return);
    QCOMPARE(driver.writes.size(), std::size_t{1});
    form_->Enable_Send_Buttons(kFalse);
    QTest::keyClick(form_->txt_Command, Qt::Key_Return);
    QCOMPARE(driver.writes.size(), std::size_t{1});
  }

  void Reply_rule_data() {
    QTest::addColumn<bool>("formatted");
    QTest::addColumn<QList<QStringList>>("ticks");  // each poll's reads ("" a successful empty one)
    QTest::addColumn<QStringList>("shown");         // the box after each poll
    QTest::newRow("joined") << false << QList<QStringList>{{"AB"}, {"CD"}} << QStringList{"AB", "ABCD"};
    QTest::newRow("a line end is replaced")
        << false << QList<QStringList>{{"OK\n"}, {}, {"12"}} << QStringList{"OK", "OK", "12"};
    QTest::newRow("an empty read forgets the line end")
        << false << QList<QStringList>{{"OK\n"}, {""}, {"X"}} << QStringList{"OK", "OK", "OKX"};
    QTest::newRow("carriage returns stay")
        << false << QList<QStringList>{{"A\r"}, {"B\n"}, {""}, {"C"}} << QStringList{"A\n", "A\nB", "A\nB", "A\nBC"};
    QTest::newRow("formatted rounds")
        << true << QList<QStringList>{{"L1\n", "L2\n"}, {"L3"}, {"L4"}} << QStringList{"L1L2", "L3", "L3L4"};
  }

  void Reply_rule() {
    QFETCH(bool, formatted);
    QFETCH(QList<QStringList>, ticks);
    QFETCH(QStringList, shown);
    Test_Driver_State &driver = Connected_To_Script();
    QPlainTextEdit *box = formatted ? form_->txt_USBF_Buffer : form_->txt_USBI_Buffer;
    for (qsizetype i = 0; i < ticks.size(); ++i) {
      for (const QString &reply : ticks[i]) {
        const std::string bytes = reply.isEmpty() ? std::string(1, '\0') : reply.toStdString();
        (formatted ? driver.formatted : driver.interrogative).push_back({std::int32_t(bytes.size()), bytes});
      }
      form_->Timer1_Timer();
      QCOMPARE(box->toPlainText(), shown[i]);
    }
    const QString last = ticks.last().join(QString());
    QCOMPARE(formatted ? Common::Last_Formatted_Reply : Common::Last_Interrogative_Reply, last);
  }

  void A_poll_reads_interrogative_then_formatted_once_each_list_call() {
    Test_Driver_State &driver = Connected_To_Script();
    const int lists_before = driver.list_calls;
    form_->Timer1_Timer();
    QCOMPARE(driver.list_calls - lists_before, 2);
    QCOMPARE(driver.interrogative_calls.size(), std::size_t{1});
    QCOMPARE(driver.formatted_calls.size(), std::size_t{1});
    QVERIFY(driver.formatted_calls[0].device == u"TAVRIN-0");
  }

  void A_poll_with_no_usable_row_disconnects_without_reading() {
    Test_Driver_State &driver = Connected_To_Script();
    form_->List_Devices->clearSelection();
    form_->Timer1_Timer();
    QCOMPARE(form_->Connected, kFalse);
    QVERIFY(!form_->Cmd_Send->isEnabled());
    QVERIFY(driver.interrogative_calls.empty());
    QVERIFY(driver.formatted_calls.empty());
  }

  void A_list_without_a_line_end_names_no_instrument() {
    Test_Driver_State &driver = Use_Test_Driver();
    driver.device_list = u"TAVRIN-0";
    Console console;
    Frm_Main &form = console.Start();
    QCOMPARE(Rows(form.List_Devices), QStringList{Frm_Main::kNoDevices});
    driver.device_list = u"TAVRIN-0\r\nTAVRIN-2\r\nTAVRIN-";  // text after the last pair is not used
    form.Refresh_Device_List();
    QCOMPARE(Rows(form.List_Devices), (QStringList{QStringLiteral("TAVRIN-0"), QStringLiteral("TAVRIN-2")}));
    QCOMPARE(form.List_Devices->currentRow(), 0);
  }

  void A_row_without_TA_in_capitals_is_not_connected() {
    Test_Driver_State &driver = Use_Test_Driver();
    driver.device_list = u"tavrin-0\r\n";
    Console console;
    Frm_Main &form = console.Start();
    form.Timer1_Timer();
    QCOMPARE(form.Connected, kFalse);
  }

 private:
  // A loaded window connected to TAVRIN-0 of the scripted library.
  Test_Driver_State &Connected_To_Script() {
    Test_Driver_State &driver = Use_Test_Driver();
    driver.device_list = u"TAVRIN-0\r\n";
    console_ = std::make_unique<Console>();
    form_ = &console_->Start();
    form_->Timer1_Timer();
    if (form_->Connected != kTrue) qFatal("not connected to the scripted library");
    driver.writes.clear();
    return driver;
  }

  std::unique_ptr<Console> console_;
  Frm_Main *form_ = nullptr;
};

}  // namespace

int Run_Device_Console_Tests(int argc, char **argv) {
  Device_Console_Test test;
  return QTest::qExec(&test, argc, argv);
}

#include "device_console_test.moc"
