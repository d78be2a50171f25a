// The command history: additions through Send, the eleven places, the file
// beside the program, hand-edited files, and the list's click and
// double-click.
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

using Common::kFalse;
using Common::kTrue;

namespace {

void Write_File(const QString &path, const QByteArray &bytes) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) qFatal("cannot write %s", qPrintable(path));
  file.write(bytes);
}

QByteArray Lines_Of(const QStringList &entries) {
  QByteArray bytes;
  for (const QString &entry : entries) bytes += entry.toLatin1() + "\r\n";
  return bytes;
}

class Command_History_Test : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    driver_ = &Use_Test_Driver();
    driver_->device_list = u"TAVRIN-0\r\n";
    console_ = std::make_unique<Console>();
  }
  void cleanup() {
    console_.reset();
    Use_Real_Library();
  }

  void The_history_starts_empty_without_a_file() {
    Frm_Main &form = console_->Start();
    QCOMPARE(form.History_Count, std::int16_t{-1});
    QCOMPARE(form.lst_Commands->count(), 0);
    QVERIFY(!QFile::exists(console_->History_File()));
    QVERIFY(console_->Messages.Messages.isEmpty());
  }

  void Twelve_commands_leave_the_eleven_newest() {
    Frm_Main &form = Connected();
    QStringList sent;
    for (int i = 1; i <= 12; ++i) sent.append(Send(form, QStringLiteral("CMD%1").arg(i)));
    QCOMPARE(form.History_Count, std::int16_t{10});
    QStringList newest_first = sent.mid(1);
    std::reverse(newest_first.begin(), newest_first.end());
    QCOMPARE(Rows(form.lst_Commands), newest_first);
    QCOMPARE(form.lst_Commands->selectedItems().size(), 0);
    QCOMPARE(File_Bytes(console_->History_File()), Lines_Of(sent.mid(1)));
    QCOMPARE(driver_->writes.size(), std::size_t{12});
  }

  void A_repeated_command_changes_nothing_and_is_not_saved() {
    Frm_Main &form = Connected();
    for (const char *command : {"A", "B", "C"}) Send(form, QString::fromLatin1(command));
    // Mark the file: a save would replace it.
    Write_File(console_->History_File(), "marker\r\n");
    Send(form, QStringLiteral("A"));
    QCOMPARE(Rows(form.lst_Commands), (QStringList{QStringLiteral("C"), QStringLiteral("B"), QStringLiteral("A")}));
    QCOMPARE(form.History_Count, std::int16_t{2});
    QCOMPARE(File_Bytes(console_->History_File()), QByteArray("marker\r\n"));
    QCOMPARE(driver_->writes.size(), std::size_t{4});  // it was sent all the same
  }

  void Letter_case_makes_two_entries() {
    Frm_Main &form = Connected();
    Send(form, QStringLiteral("meas?"));
    Send(form, QStringLiteral("MEAS?"));
    QCOMPARE(form.Command_History, (QStringList{QStringLiteral("meas?"), QStringLiteral("MEAS?")}));
  }

  void An_empty_command_takes_a_place_but_is_not_shown() {
    Frm_Main &form = Connected();
    Send(form, QStringLiteral("A"));
    Send(form, QString());
    Send(form, QString());
    QCOMPARE(form.History_Count, std::int16_t{1});
    QCOMPARE(Rows(form.lst_Commands), QStringList{QStringLiteral("A")});
    QCOMPARE(File_Bytes(console_->History_File()), QByteArray("A\r\n\r\n"));
    // It counts among the eleven.
    for (int i = 1; i <= 10; ++i) Send(form, QStringLiteral("C%1").arg(i));
    QCOMPARE(form.History_Count, std::int16_t{10});
    QCOMPARE(form.Command_History.first(), QString());
    QCOMPARE(form.lst_Commands->count(), 10);
  }

  void A_saved_history_is_loaded_at_the_next_start() {
    Frm_Main &form = Connected();
    for (const char *command : {"*IDN?", "MEAS?", "\xE9T\xE9"}) Send(form, QString::fromLatin1(command));
    Frm_Main &again = console_->Start();
    QCOMPARE(again.Command_History,
             (QStringList{QStringLiteral("*IDN?"), QStringLiteral("MEAS?"), QString::fromLatin1("\xE9T\xE9")}));
    QCOMPARE(Rows(again.lst_Commands).first(), QString::fromLatin1("\xE9T\xE9"));
    QCOMPARE(File_Bytes(console_->History_File()), QByteArray("*IDN?\r\nMEAS?\r\n\xE9T\xE9\r\n"));
  }

  void A_hand_edited_history_of_fifteen_lines_loads_whole_and_keeps_growing() {
    QStringList entries;
    for (int i = 1; i <= 15; ++i) entries.append(i == 7 ? QString() : QStringLiteral("L%1").arg(i));
    Write_File(console_->History_File(), Lines_Of(entries));
    Frm_Main &form = console_->Start();
    QCOMPARE(form.History_Count, std::int16_t{14});
    QCOMPARE(form.Command_History, entries);
    QCOMPARE(form.lst_Commands->count(), 14);  // the empty line is not shown
    QCOMPARE(form.lst_Commands->item(0)->text(), QStringLiteral("L15"));

    form.Timer1_Timer();
    Send(form, QStringLiteral("NEW"));
    QCOMPARE(form.History_Count, std::int16_t{15});
    QCOMPARE(form.Command_History.first(), QStringLiteral("L1"));
    QCOMPARE(File_Bytes(console_->History_File()), Lines_Of(entries + QStringList{QStringLiteral("NEW")}));
  }

  void Other_line_ends_of_hand_edited_files_end_lines_too() {
    Write_File(console_->History_File(), "A\nB\rC\r\nD");
    Frm_Main &form = console_->Start();
    QCOMPARE(form.Command_History, (QStringList{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C"),
                                                QStringLiteral("D")}));
  }

  void A_history_that_cannot_be_read_is_reported_and_start_up_goes_on() {
    QDir(console_->Directory()).mkdir(QStringLiteral("ListBox.txt"));  // a directory in its place
    Frm_Main &form = console_->Start(false);
    QVERIFY(form.Form_Load());
    QCOMPARE(console_->Messages.Messages.size(), 1);
    QVERIFY(!console_->Messages.Messages.first().isEmpty());
    QVERIFY(console_->Messages.Messages.first() != Frm_Main::kDriverNotLoaded);
    QCOMPARE(form.History_Count, std::int16_t{-1});
    QVERIFY(console_->Ended_Codes.empty());
  }

  void A_history_that_cannot_be_saved_is_reported_and_kept_in_memory() {
    console_->Set_Program_Directory(QDir(console_->Directory()).filePath(QStringLiteral("missing")));
    Frm_Main &form = Connected();
    Send(form, QStringLiteral("*IDN?"));
    QCOMPARE(console_->Messages.Messages.size(), 1);
    QVERIFY(!console_->Messages.Messages.first().isEmpty());
    QCOMPARE(Rows(form.lst_Commands), QStringList{QStringLiteral("*IDN?")});
    QCOMPARE(form.History_Count, std::int16_t{0});
  }

  // History_Count is a 16-bit number: a file it cannot count ends the load
  // with "Overflow" naming the file (once a run), and no later Send hangs or crashes.
  void Histories_the_16_bit_count_cannot_hold_data() {
    QTest::addColumn<int>("lines");
    QTest::newRow("32767 lines") << 32767;
    QTest::newRow("32768 lines") << 32768;
    QTest::newRow("40000 lines") << 40000;
  }
  void Histories_the_16_bit_count_cannot_hold() {
    QFETCH(int, lines);
    QStringList entries;
    for (int i = 0; i < lines; ++i) entries.append(QStringLiteral("C%1").arg(i));
    Write_File(console_->History_File(), Lines_Of(entries));
    const bool overflowed = lines > 32768;  // indexes 0 to 32767 fit
    const bool full = lines >= 32768;
    Frm_Main &form = Connected();
    QCOMPARE(console_->Messages.Messages.size(), overflowed ? 1 : 0);
    QCOMPARE(form.History_Count, std::int16_t(full ? 32767 : 32766));
    Send(form, QStringLiteral("C5"));  // already there
    Send(form, QStringLiteral("new one"));
    Send(form, QStringLiteral("another"));
    QCOMPARE(driver_->writes.size(), std::size_t{3});  // each was sent all the same
    QCOMPARE(form.History_Count, std::int16_t{32767});
    // Once a run, whether the load or an addition found no room, saying what to do.
    const QStringList messages = console_->Messages.Messages;
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].startsWith(QStringLiteral("Overflow")) && messages[0].contains(console_->History_File()) &&
                 messages[0].contains(QStringLiteral("remove lines from the file")),
             qPrintable(messages[0]));
    const QByteArray saved = File_Bytes(console_->History_File());
    QCOMPARE(saved.count("\r\n"), full ? qsizetype(lines) : qsizetype(32768));
    if (!full) QVERIFY(saved.endsWith("new one\r\n"));
  }

  void A_read_only_program_directory_keeps_the_history_per_user() {
    // /proc is there, but no one (root neither) may create a file in it.
    console_->Set_Program_Directory(QStringLiteral("/proc"));
    Frm_Main &form = Connected();
    Send(form, QStringLiteral("*IDN?"));
    QVERIFY(console_->Messages.Messages.isEmpty());
    const QString per_user = QDir(console_->User_Data_Directory()).filePath(QStringLiteral("ListBox.txt"));
    QCOMPARE(Common::History_File_Path, per_user);
    QCOMPARE(File_Bytes(per_user), QByteArray("*IDN?\r\n"));
    QCOMPARE(Rows(console_->Start().lst_Commands), QStringList{QStringLiteral("*IDN?")});
  }

  // Nothing is dropped without a word: a command with a character the
  // instrument's code page lacks is not sent, says which, stays connected and
  // keeps its place in the history as typed; a Send with no instrument says so.
  void Commands_that_cannot_go_are_reported_and_kept() {
    Frm_Main &form = Connected();
    const QString typed = QStringLiteral("ECHO 5 \u03A9 \u00E9");
    Send(form, typed);
    QCOMPARE(console_->Messages.Messages.size(), 1);
    QVERIFY2(console_->Messages.Messages[0].contains(QStringLiteral("U+03A9")), qPrintable(console_->Messages.Messages[0]));
    QVERIFY(driver_->writes.empty());
    QCOMPARE(form.Connected, kTrue);
    QCOMPARE(Rows(form.lst_Commands), QStringList{typed});
    QCOMPARE(console_->Start().Command_History, QStringList{typed});  // the file keeps it as typed

    driver_->device_list = u"";
    Frm_Main &alone = console_->Start();
    alone.Timer1_Timer();
    Send(alone, QStringLiteral("*IDN?"));
    QCOMPARE(console_->Messages.Messages.size(), 2);
    QVERIFY(console_->Messages.Messages[1].contains(QStringLiteral("no instrument")));
    QCOMPARE(alone.Last_Error, console_->Messages.Messages[1]);
  }

  void A_click_copies_the_selected_entry() {
    Frm_Main &form = console_->Start();
    form.txt_Command->setText(QStringLiteral("typed"));
    form.lst_Commands_Click();  // an empty list
    QCOMPARE(form.txt_Command->text(), QStringLiteral("typed"));

    form.Add_Command_To_History(QStringLiteral("A"));
    form.Add_Command_To_History(QStringLiteral("B"));
    form.lst_Commands_Click();  // no row selected
    QCOMPARE(form.txt_Command->text(), QStringLiteral("typed"));

    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QListWidget *list = form.lst_Commands;
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
    QCOMPARE(form.txt_Command->text(), QStringLiteral("A"));
  }

  void A_double_click_copies_and_sends_even_with_Send_disabled() {
    Frm_Main &form = Connected();
    Send(form, QStringLiteral("FIRST"));
    Send(form, QStringLiteral("SECOND"));
    form.Enable_Send_Buttons(kFalse);
    driver_->writes.clear();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QListWidget *list = form.lst_Commands;
    // A double click as the mouse makes it: press, release, double click, release.
    const QPoint entry = list->visualItemRect(list->item(1)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, entry);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, entry);
    QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, entry);
    QCOMPARE(form.txt_Command->text(), QStringLiteral("FIRST"));
    QCOMPARE(driver_->writes.size(), std::size_t{1});
    QCOMPARE(driver_->writes[0].buffer, std::string("FIRST\n"));
  }

  void A_double_click_without_an_instrument_drops_the_connection() {
    driver_->device_list = u"";
    Write_File(console_->History_File(), "*IDN?\r\n");
    Frm_Main &form = console_->Start();
    form.Enable_Send_Buttons(kTrue);
    form.txt_USBI_Buffer->setPlainText(QStringLiteral("old"));
    form.lst_Commands->setCurrentRow(0);
    form.lst_Commands_DblClick();
    QCOMPARE(form.txt_Command->text(), QStringLiteral("*IDN?"));
    QCOMPARE(form.txt_USBI_Buffer->toPlainText(), QString());
    QVERIFY(!form.Cmd_Send->isEnabled());
    QCOMPARE(form.Connected, kFalse);
    QVERIFY(driver_->writes.empty());
    QCOMPARE(form.History_Count, std::int16_t{0});
  }

 private:
  Frm_Main &Connected() {
    Frm_Main &form = console_->Start();
    form.Timer1_Timer();
    if (form.Connected != kTrue) qFatal("not connected to the scripted library");
    return form;
  }

  QString Send(Frm_Main &form, const QString &command) {
    form.txt_Command->setText(command);
    form.Cmd_Send_Click();
    return command;
  }

  Test_Driver_State *driver_ = nullptr;
  std::unique_ptr<Console> console_;
};

}  // namespace

int Run_Command_History_Tests(int argc, char **argv) {
  Command_History_Test test;
  return QTest::qExec(&test, argc, argv);
}

#include "command_history_test.moc"
