// Module Common: the text helpers, the channel helpers' buffers, bytes,
// lengths and results, and the call bridge's errors.
#include "test_support.h"

#include <QTest>

using Common::kFalse;
using Common::kTrue;
using Common::Read_Result;

namespace {

const QString kDevice = QStringLiteral("TAVRIN-0");
using Reads = QList<QPair<int, QByteArray>>;  // scripted reads: result, bytes

void Script(std::deque<Test_Driver_Read> &script, const Reads &reads) {
  for (const auto &[result, bytes] : reads) script.push_back({result, bytes.toStdString()});
}

class Common_Test : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { Use_Real_Library(); }

  void Pad_Nul_and_Strip_Nul() {
    const QString padded = Common::Pad_Nul(QStringLiteral("AB"));
    QCOMPARE(padded, QStringView(u"A\0B\0", 4).toString());
    QCOMPARE(Common::Strip_Nul(padded), QStringLiteral("AB"));
    QCOMPARE(Common::Pad_Nul(QString()), QString());
    QCOMPARE(Common::Strip_Nul(QString()), QString());
    const QString text = QStringView(u"\0T\0\0A\r\n\0", 8).toString();
    QCOMPARE(Common::Strip_Nul(text), QStringLiteral("TA\r\n"));
    QCOMPARE(text.size(), 8);  // the argument is unchanged
  }

  void Write_Text_sends_one_byte_per_character_with_its_length() {
    Test_Driver_State &driver = Use_Test_Driver();
    QString device = Common::Pad_Nul(kDevice);
    QCOMPARE(Common::Write_Text(QStringLiteral("MEAS?\n"), device), kTrue);
    QCOMPARE(Common::Write_Text(QStringLiteral("\xE9"), device), kTrue);
    QCOMPARE(driver.writes.size(), std::size_t{2});
    QCOMPARE(driver.writes[0].buffer, std::string("MEAS?\n"));
    QCOMPARE(driver.writes[0].length, 6);
    QCOMPARE(driver.writes[0].upper, 5L);
    QCOMPARE(driver.writes[1].buffer, std::string("\xE9"));  // one character: exactly one byte
    QCOMPARE(driver.writes[1].length, 1);
    QCOMPARE(driver.writes[1].lower, 0L);
    QCOMPARE(driver.writes[1].upper, 0L);
    QVERIFY(driver.writes[0].device == u"TAVRIN-0");  // the padded name's bytes are UTF-16LE
    QCOMPARE(device, Common::Pad_Nul(kDevice));
  }

  void Write_Text_is_true_only_for_a_result_of_exactly_one() {
    Test_Driver_State &driver = Use_Test_Driver();
    QString device = Common::Pad_Nul(kDevice);
    for (std::int32_t result : {0, -2, 2, -1, 1}) {
      driver.write_result = result;
      QCOMPARE(Common::Write_Text(QStringLiteral("X"), device), result == 1 ? kTrue : kFalse);
    }
  }

  void Write_Text_traps_texts_it_cannot_send() {
    Test_Driver_State &driver = Use_Test_Driver();
    QString device = Common::Pad_Nul(kDevice);
    QCOMPARE(Common::Write_Text(QString(), device), kFalse);                         // empty
    QCOMPARE(Common::Write_Text(QStringLiteral("A\u20ACB"), device), kFalse);        // no 8-bit code
    QCOMPARE(Common::Write_Text(QString(32768, QLatin1Char('x')), device), kFalse);  // too long
    QString foreign = QStringLiteral("\u0422\u0410");
    QCOMPARE(Common::Write_Text(QStringLiteral("X"), foreign), kFalse);  // a name that cannot cross
    QVERIFY(driver.writes.empty());
    QCOMPARE(Common::Write_Text(QString(32767, QLatin1Char('x')), device), kTrue);
    QCOMPARE(driver.writes.back().length, 32767);
  }

  void Read_Interrogative_data() {
    QTest::addColumn<Reads>("reads");
    QTest::addColumn<int>("success");
    QTest::addColumn<QString>("text");
    QTest::newRow("OK") << Reads{{2, "OK"}} << -1 << QStringLiteral("OK");
    QTest::newRow("stops at a zero byte") << Reads{{3, QByteArray("A\0B", 3)}} << -1 << QStringLiteral("A");
    // 65 bytes land in the buffer and the count says 5: neither matters.
    QTest::newRow("at most 64") << Reads{{5, QByteArray(64, 'a') + 'b'}} << -1 << QString(64, QLatin1Char('a'));
    QTest::newRow("nothing read") << Reads{{0, "stale"}} << 0 << QString();
    QTest::newRow("empty but read") << Reads{{1, QByteArray(1, '\0')}} << -1 << QString();
    QTest::newRow("bytes become characters") << Reads{{3, "\xB0\xFF\r"}} << -1 << QStringLiteral("\u00B0\u00FF\r");
  }

  void Read_Interrogative() {
    QFETCH(Reads, reads);
    QFETCH(int, success);
    QFETCH(QString, text);
    Test_Driver_State &driver = Use_Test_Driver();
    Script(driver.interrogative, reads);
    QString device = Common::Pad_Nul(kDevice);
    const Read_Result result = Common::Read_Interrogative(device);
    QCOMPARE(int{result.Success}, success);
    QCOMPARE(result.Text, text);
    const Test_Driver_Call &call = driver.interrogative_calls.at(0);
    QCOMPARE(call.length, 64);
    QCOMPARE(call.lower, 0L);
    QCOMPARE(call.upper, 64L);
    QCOMPARE(call.buffer, std::string(65, '\0'));  // zero-filled
    QVERIFY(call.device == u"TAVRIN-0");
    QCOMPARE(device, Common::Pad_Nul(kDevice));
  }

  void Read_Formatted_data() {
    QTest::addColumn<Reads>("reads");
    QTest::addColumn<int>("success");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("calls");
    QTest::newRow("one round") << Reads{{5, "12345"}} << -1 << QStringLiteral("12345") << 2;
    QTest::newRow("rounds in order") << Reads{{1, "X"}, {1, "Y"}} << -1 << QStringLiteral("XY") << 3;
    // Only the count's bytes, of a fresh zero-filled buffer each round.
    QTest::newRow("count and fresh buffer") << Reads{{3, "ABCDEF"}, {6, "X"}} << -1 << QStringLiteral("ABCX") << 3;
    // A count beyond the buffer runs the scan out of bounds: the error ends
    // the reading with the rounds before it.
    QTest::newRow("error") << Reads{{1, "X"}, {40000, QByteArray(32001, 'Y')}, {1, "Z"}} << -1 << QStringLiteral("X")
                           << 2;
    QTest::newRow("nothing") << Reads{} << 0 << QString() << 1;
  }

  void Read_Formatted() {
    QFETCH(Reads, reads);
    QFETCH(int, success);
    QFETCH(QString, text);
    QFETCH(int, calls);
    Test_Driver_State &driver = Use_Test_Driver();
    Script(driver.formatted, reads);
    QString device = Common::Pad_Nul(kDevice);
    const Read_Result result = Common::Read_Formatted(device);
    QCOMPARE(int{result.Success}, success);
    QCOMPARE(result.Text, text);
    QCOMPARE(int(driver.formatted_calls.size()), calls);
    for (const Test_Driver_Call &call : driver.formatted_calls) {
      QCOMPARE(call.length, 32000);
      QCOMPARE(call.lower, 0L);
      QCOMPARE(call.upper, 32000L);
      QCOMPARE(call.buffer, std::string(32001, '\0'));
    }
    QCOMPARE(device, Common::Pad_Nul(kDevice));
  }

  void Texts_cross_as_bytes_both_ways() {
    Test_Driver_State &driver = Use_Test_Driver();
    driver.device_list = u"TAVRIN-0\r\nTAVRIN-3\r\n";
    const QString list = Common::USB_Get_ALL_Available_DeviceName();
    QCOMPARE(list, Common::Pad_Nul(QStringLiteral("TAVRIN-0\r\nTAVRIN-3\r\n")));  // each byte a character
    driver.device_list.reset();  // no string at all
    QCOMPARE(Common::USB_Get_ALL_Available_DeviceName(), QString());
    driver.first_device = u"TAVRIN-3";
    QCOMPARE(Common::Strip_Nul(Common::USB_Get_First_DeviceName()), QStringLiteral("TAVRIN-3"));
    // A text argument is copied back into the caller's variable.
    driver.rename_device = u"TAVRIN-7";
    QString device = Common::Pad_Nul(kDevice);
    Common::Write_Text(QStringLiteral("X"), device);
    QCOMPARE(device, Common::Pad_Nul(QStringLiteral("TAVRIN-7")));
  }

  void A_missing_library_is_an_error_at_the_call() {
    Common::Set_Library_File(QStringLiteral("/nonexistent/libTavrin_570x_Driver.so"));
    try {
      Common::USB_Get_ALL_Available_DeviceName();
      QFAIL("no error raised");
    } catch (const Common::Runtime_Error &error) {
      QCOMPARE(error.Number(), Common::kErrorFileNotFound);
    }
    QString device = Common::Pad_Nul(kDevice);
    QCOMPARE(Common::Write_Text(QStringLiteral("X"), device), kFalse);
    QCOMPARE(Common::Read_Interrogative(device).Success, kFalse);
    QCOMPARE(Common::Read_Formatted(device).Success, kFalse);
  }

  void A_missing_entry_is_an_error_at_its_own_call() {
    Common::Set_Library_File(Beside_Program(kPartialTestDriverFile));
    try {
      Common::USB_Get_ALL_Available_DeviceName();
      QFAIL("no error raised");
    } catch (const Common::Runtime_Error &error) {
      QCOMPARE(error.Number(), Common::kErrorNoEntryPoint);
      QVERIFY(error.Description().contains(QStringLiteral("USB_Get_ALL_Available_DeviceName")));
    }
    QString device = Common::Pad_Nul(kDevice);
    QCOMPARE(Common::Read_Formatted(device).Success, kFalse);
    QCOMPARE(Common::Write_Text(QStringLiteral("X"), device), kTrue);  // the entries it has still bind
  }

  void The_real_library_with_and_without_an_instrument() {
    Use_Real_Library();
    QString device = Common::Pad_Nul(kDevice);
    QCOMPARE(Common::Strip_Nul(Common::USB_Get_ALL_Available_DeviceName()), QString());
    QCOMPARE(Common::Write_Text(QStringLiteral("*IDN?\n"), device), kFalse);
    const Read_Result none = Common::Read_Interrogative(device);
    QVERIFY(none.Success == kFalse && none.Text.isEmpty());
    const Read_Result nothing = Common::Read_Formatted(device);
    QVERIFY(nothing.Success == kFalse && nothing.Text.isEmpty());

    Instruments instruments(1);
    QCOMPARE(Common::Strip_Nul(Common::USB_Get_ALL_Available_DeviceName()), QStringLiteral("TAVRIN-0\r\n"));
    QCOMPARE(Common::Write_Text(QStringLiteral("ECHO hello\n"), device), kTrue);
    QCOMPARE(Common::Read_Interrogative(device).Text, QStringLiteral("hello\n"));
    QCOMPARE(Common::Write_Text(QStringLiteral("FMT 3\n"), device), kTrue);
    QCOMPARE(Common::Read_Formatted(device).Text.count(QLatin1Char('\n')), 3);
    QCOMPARE(device, Common::Pad_Nul(kDevice));
  }
};

}  // namespace

int Run_Common_Tests(int argc, char **argv) {
  Common_Test test;
  return QTest::qExec(&test, argc, argv);
}

#include "common_test.moc"
