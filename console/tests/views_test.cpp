// The views and actions beyond the design, through the window's actions and
// widgets against substitute instruments: the transcript view of the reply
// boxes, the traffic log with its channels, hexadecimal view, Save and Clear,
// the status bar, Refresh, the plot, keys that recall the history, and the
// views kept for the next run; with every view off, the designed layout.
#include "test_support.h"

#include "frm_log.h"
#include "frm_plot.h"
#include "frm_status.h"

#include <QAction>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFrame>
#include <QLabel>
#include <QTextDocument>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTest>

using Common::kFalse;
using Common::kTrue;

namespace {

QString Reading(int n) { return QString::fromStdString(usb::SubstituteInstrument::Reading(std::uint64_t(n))); }

class Views_Test : public QObject {
  Q_OBJECT

 private slots:
  void init() { Use_Real_Library(); }

  void The_views_show_the_traffic_and_keep_the_design_when_off() {
    Instruments instruments(1);
    Console console;
    Frm_Main &form = Connected(console);
    // Every view off: the window is as designed.
    for (QAction *view : {form.act_Log, form.act_Plot, form.act_Transcript, form.act_Status_Bar}) {
      QVERIFY(view->isCheckable() && !view->isChecked());
      QVERIFY(form.actions().contains(view));  // in the context menu, with its key
      QVERIFY(!view->shortcut().isEmpty());
    }
    QVERIFY(!form.sts_Status->isVisible());
    const Twips_Rect designed = form.Twips(form.pic_FileName);
    QCOMPARE(designed.Top, 11000.0 - (2055 + 600));

    QTest::keyClick(&form, Qt::Key_T, Qt::ControlModifier);  // the transcript view
    QVERIFY(form.act_Transcript->isChecked());
    form.act_Log->trigger();
    form.act_Status_Bar->trigger();
    form.act_Plot->trigger();
    QVERIFY(form.frm_Log->isVisible());
    QVERIFY(form.frm_Plot->isVisible());
    QVERIFY(form.Twips(form.pic_FileName).Top < designed.Top);  // the status bar takes the bottom
    QCOMPARE(form.lbl_Connection->text(), QStringLiteral("Connected to TAVRIN-0, through the embedded kernel"));

    // Formatted output keeps its lines; answers stay one under the other.
    Send(form, QStringLiteral("FMT 3"));
    form.Timer1_Timer();
    QCOMPARE(form.txt_USBF_Buffer->toPlainText(), QStringLiteral("FMT 1 of 3: %1\nFMT 2 of 3: %2\nFMT 3 of 3: %3\n")
                                                      .arg(Reading(1), Reading(2), Reading(3)));
    Send(form, QStringLiteral("MEAS?"));
    form.Timer1_Timer();
    Send(form, QStringLiteral("ECHO x"));
    form.Timer1_Timer();
    QCOMPARE(form.txt_USBI_Buffer->toPlainText(), Reading(1) + QStringLiteral("\nx\n"));
    QCOMPARE(form.txt_USBI_Buffer->maximumBlockCount(), Frm_Main::kTranscriptLines);
    // The plot took the three formatted readings and the measurement, each on its own line.
    QCOMPARE(form.frm_Plot->Series(Frm_Plot::Formatted)->count(), 3);
    QCOMPARE(form.frm_Plot->Series(Frm_Plot::Interrogative)->count(), 1);
    QCOMPARE(form.frm_Plot->Series(Frm_Plot::Interrogative)->at(0).y(), 1.0);
    QVERIFY(form.frm_Plot->Series(Frm_Plot::Interrogative)->name().contains(QStringLiteral("MEAS?")));
    QCOMPARE(Frm_Plot::Reading(QStringLiteral("STREAM 7: -2.5E+01")), std::optional<double>(-25.0));

    // The log: every transfer with its device and channel, escaped or in hexadecimal.
    Frm_Log &log = *form.frm_Log;
    QCOMPARE(log.Entries().size(), std::size_t{6});  // three commands, their three answers
    const QStringList lines = log.txt_Log->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 6);
    QVERIFY2(lines[0].endsWith(QStringLiteral(" TAVRIN-0 CMD > FMT 3\\n")), qPrintable(lines[0]));
    QVERIFY2(lines[1].contains(QStringLiteral(" TAVRIN-0 FMT < FMT 1 of 3: ")), qPrintable(lines[1]));
    QVERIFY2(lines[5].endsWith(QStringLiteral("INT < x\\n")), qPrintable(lines[5]));
    log.chk_Hex->click();
    QVERIFY(log.txt_Log->toPlainText().contains(QStringLiteral("CMD > 45 43 48 4F 20 78 0A  |ECHO x.|")));
    log.chk_Channel[2]->click();  // without the formatted channel
    QCOMPARE(log.txt_Log->toPlainText().split(QLatin1Char('\n')).size(), 5);
    const QString saved = QDir(console.Directory()).filePath(QStringLiteral("traffic.log"));
    console.Dialog.Answers = {saved};
    log.cmd_Save->click();
    QCOMPARE(QString::fromUtf8(File_Bytes(saved)), log.txt_Log->toPlainText() + QLatin1Char('\n'));
    // An image write shows by its start and its length.
    const QString chunk = Frm_Log::Line({QDateTime::currentDateTime(), 0, QStringLiteral("TAVRIN-0"), QString(1024, u'A'), true}, false);
    QVERIFY2(chunk.endsWith(QStringLiteral("CMD > ") + QString(Frm_Log::kShownBytes, u'A') + QStringLiteral(" ... (1024 bytes)")),
             qPrintable(chunk));
    log.cmd_Clear->click();
    QVERIFY(log.Entries().empty());
    QVERIFY(log.txt_Log->toPlainText().isEmpty());

    // Refresh lists an instrument plugged in while connected, keeping the selection.
    Instruments second(1);
    form.act_Refresh->trigger();
    QCOMPARE(Rows(form.List_Devices), (QStringList{QStringLiteral("TAVRIN-0"), QStringLiteral("TAVRIN-1")}));
    QCOMPARE(form.Selected_Device(), QStringLiteral("TAVRIN-0"));
    QCOMPARE(form.Connected, kTrue);

    // An instrument that goes is noted with its time.
    instruments.Unplug(0);
    second.Unplug(0);
    form.Timer1_Timer();
    QCOMPARE(form.Connected, kFalse);
    QVERIFY2(form.lbl_Connection->text().startsWith(QStringLiteral("TAVRIN-0 disappeared at ")),
             qPrintable(form.lbl_Connection->text()));

    // The views come back at the next start; switched off, the design returns.
    Frm_Main &again = console.Start();
    QVERIFY(again.act_Transcript->isChecked() && again.act_Status_Bar->isChecked() && again.act_Log->isChecked());
    for (QAction *view : {again.act_Log, again.act_Plot, again.act_Transcript, again.act_Status_Bar}) view->trigger();
    QCOMPARE(again.Twips(again.pic_FileName), designed);
    QCOMPARE(again.txt_USBI_Buffer->maximumBlockCount(), 0);
    QVERIFY(!again.frm_Log->isVisible());
    QCOMPARE(console.Stored(QStringLiteral("View/Log")), QStringLiteral("0"));
  }

  void The_status_bar_names_the_instrument_sends_go_to_and_its_kernel() {
    Instruments instruments(2);
    Console console;
    Frm_Main &form = Connected(console);  // discovery selects TAVRIN-0
    form.act_Status_Bar->setChecked(true);
    form.List_Devices->setCurrentRow(1);
    QCOMPARE(form.lbl_Connection->text(), QStringLiteral("Connected to TAVRIN-1, through the embedded kernel"));
    Send(form, QStringLiteral("ECHO here"));
    form.Timer1_Timer();
    QCOMPARE(instruments[1].Commands().back(), std::string("ECHO here"));
    QVERIFY(instruments[0].Commands().empty());
    QCOMPARE(form.txt_USBI_Buffer->toPlainText(), QStringLiteral("here"));
    // Gone, the instrument that was polled is the one named.
    instruments.Unplug(1);
    instruments.Unplug(0);
    form.Timer1_Timer();
    QVERIFY2(form.lbl_Connection->text().startsWith(QStringLiteral("TAVRIN-1 disappeared at ")),
             qPrintable(form.lbl_Connection->text()));
    // A Send then says it went; the list's row shows whole.
    form.Timer1_Timer();
    QCOMPARE(Rows(form.List_Devices), QStringList{Frm_Main::kNoDevices});
    QVERIFY(!form.List_Devices->horizontalScrollBar()->isVisible());
    QVERIFY(form.List_Devices->visualItemRect(form.List_Devices->item(0)).right() < form.List_Devices->viewport()->width());
    Send(form, QStringLiteral("ECHO gone"));
    QVERIFY2(console.Messages.Messages.last().startsWith(QStringLiteral("Not sent: TAVRIN-1 disappeared at ")),
             qPrintable(console.Messages.Messages.last()));
    QVERIFY(form.lbl_Last_Error->text().startsWith(QStringLiteral("Last error: Not sent: TAVRIN-1 disappeared")));
    // The next success clears it.
    Instruments back(1);
    form.Timer1_Timer();
    Send(form, QStringLiteral("ECHO back"));
    QCOMPARE(form.lbl_Last_Error->text(), QString());
    QCOMPARE(Frm_Main::Kernel_Description("/run/tavrin/kernel.sock"), QStringLiteral("tavrind at /run/tavrin/kernel.sock"));
  }

  void The_log_keeps_a_few_megabytes_and_says_so() {
    Recording_Message_Box messages;
    Scripted_File_Dialog dialog;
    Frm_Log log(&dialog, &messages);
    // A 16 MiB image's writes while the window is closed, then a command.
    const QString chunk(1024, u'\xA5');
    for (int i = 0; i < 16 * 1024; ++i) log.Add({QDateTime::currentDateTime(), 0, QStringLiteral("TAVRIN-0"), chunk, true});
    log.Add({QDateTime::currentDateTime(), 0, QStringLiteral("TAVRIN-0"), QStringLiteral("FW?\n"), true});
    QVERIFY2(log.Stored_Bytes() <= Frm_Log::kMaxBytes, qPrintable(QString::number(log.Stored_Bytes())));
    QVERIFY(log.Entries().size() > 1000);  // the newest are there, by their start and length
    QVERIFY(Frm_Log::Line(log.Entries()[0], false).endsWith(QStringLiteral(" ... (1024 bytes)")));
    QVERIFY(Frm_Log::Line(log.Entries().back(), false).endsWith(QStringLiteral("CMD > FW?\\n")));
    log.show();
    QCOMPARE(log.txt_Log->document()->blockCount(), static_cast<int>(log.Entries().size()));
    QVERIFY2(log.lbl_Kept->isVisible() && log.lbl_Kept->text().contains(QStringLiteral("up to 2 MB, also while this window is closed")),
             qPrintable(log.lbl_Kept->text()));
  }

  void Keys_recall_the_history_and_choices_start_as_designed() {
    Test_Driver_State &driver = Use_Test_Driver();
    driver.device_list = u"TAVRIN-0\r\n";
    Console console;
    Frm_Main &form = Connected(console);
    for (const char *command : {"first", "second", "third"}) Send(form, QString::fromLatin1(command));
    form.txt_Command->clear();
    QTest::keyClicks(form.txt_Command, QStringLiteral("typ"));
    QStringList seen;
    for (Qt::Key key : {Qt::Key_Up, Qt::Key_Up, Qt::Key_Up, Qt::Key_Up, Qt::Key_Down, Qt::Key_Down, Qt::Key_Down}) {
      QTest::keyClick(form.txt_Command, key);
      seen.append(form.txt_Command->text());
    }
    QCOMPARE(seen, (QStringList{"third", "second", "first", "first", "second", "third", "typ"}));

    // Mnemonics: Alt and the underlined letter.
    QCOMPARE(form.Cmd_Send->text(), QStringLiteral("&Send"));
    QCOMPARE(form.lbl_TA_Devices->buddy(), form.List_Devices);
    QVERIFY(form.minimumWidth() > 0 && form.minimumHeight() > 0);

    // The Reset choice starts at "Reset" every run; "Verify downloads" starts
    // off and is kept.
    QVERIFY(!form.act_Verify->isChecked() && !form.frm_Status->Verify());
    form.After_Download_Opt[1]->click();
    form.act_Verify->trigger();
    Frm_Main &next = console.Start();
    QVERIFY(next.After_Download_Opt[0]->isChecked());
    QVERIFY(next.act_Verify->isChecked() && next.frm_Status->Verify());
    QVERIFY(next.actions().contains(next.act_Verify));

    // Each image type's dialog opens at that type's last file.
    Frm_Main &chooser = console.Start();
    console.Dialog.Answers = {QStringLiteral("/fw/a/ip.bin"), QStringLiteral("/fw/b/fpga.bit"), QString()};
    chooser.Cmd_Get_IP_File_Name->click();
    chooser.Cmd_FPGA_Get_File_Name->click();
    chooser.Cmd_Get_IP_File_Name->click();
    QCOMPARE(console.Dialog.Displays.back().File_Name, QStringLiteral("/fw/a/ip.bin"));

    // About names where the files are.
    console.Messages.Messages.clear();
    chooser.act_About->trigger();
    QCOMPARE(console.Messages.Messages.size(), 1);
    QVERIFY(console.Messages.Messages[0].contains(console.History_File()));
    QVERIFY(console.Messages.Messages[0].contains(console.Settings().File_Name()));
    QVERIFY(console.Messages.Messages[0].startsWith(QStringLiteral("Pipe_Console %1,").arg(QStringLiteral(TAVRIN_VERSION))));
    QVERIFY(console.Messages.Messages[0].contains(QStringLiteral("Ctrl+L\tLog of the traffic")));
  }

 private:
  static Frm_Main &Connected(Console &console) {
    Frm_Main &form = console.Start();
    form.show();
    form.Timer1_Timer();
    if (form.Connected != kTrue) qFatal("not connected");
    return form;
  }

  static void Send(Frm_Main &form, const QString &command) {
    form.txt_Command->setText(command);
    form.Cmd_Send->click();
  }
};

}  // namespace

int Run_Views_Tests(int argc, char **argv) {
  Views_Test test;
  return QTest::qExec(&test, argc, argv);
}

#include "views_test.moc"
