// Pictures saved for people to look at, in <build>/screenshots: the main
// window with two substitute instruments after a command and its answer
// (main_window.png), and the status window halfway through a download
// (status_download.png) and showing an error (status_error.png).
#include "test_support.h"

#include "frm_status.h"

#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include <cstdio>

namespace {

bool Save_Picture(QWidget &window, const char *name) {
  const QString directory = QStringLiteral(CONSOLE_SCREENSHOT_DIRECTORY);
  if (!QDir().mkpath(directory)) return false;
  const QString path = QDir(directory).filePath(QString::fromLatin1(name));
  const QPixmap picture = window.grab();
  if (picture.size() != window.size() || !picture.save(path, "PNG")) return false;
  std::printf("Screenshot: %s\n", qPrintable(path));
  std::fflush(stdout);
  return true;
}

class Screenshot_Test : public QObject {
  Q_OBJECT

 private slots:
  void Main_window_with_two_instruments_after_a_command() {
    Use_Real_Library();
    Instruments instruments(2);
    Console console;
    Frm_Main &form = console.Start_Shown();
    form.Timer1_Timer();  // discovery
    QCOMPARE(form.Connected, Common::kTrue);
    for (const char *command : {"FMT 3", "MEAS?", "*IDN?"}) {
      form.txt_Command->setText(QString::fromLatin1(command));
      form.Cmd_Send_Click();
      form.Timer1_Timer();  // poll: the answer arrives
    }
    QVERIFY(form.txt_USBI_Buffer->toPlainText().startsWith(QStringLiteral("TAVRIN,570x,TVR00000")));
    QVERIFY(form.txt_USBF_Buffer->toPlainText().contains(QStringLiteral("FMT 3 of 3")));
    QCOMPARE(form.List_Devices->count(), 2);

    const QString directory = QStringLiteral(CONSOLE_SCREENSHOT_DIRECTORY);
    QVERIFY(QDir().mkpath(directory));
    const QString path = QDir(directory).filePath(QStringLiteral("main_window.png"));
    const QPixmap picture = form.grab();
    QCOMPARE(picture.size(), form.size());
    QVERIFY(picture.save(path, "PNG"));
    std::printf("Screenshot of the main window: %s\n", qPrintable(path));
    std::fflush(stdout);
  }

  void Status_window_halfway_and_with_an_error() {
    Test_Driver_State &driver = Use_Test_Driver();
    // The first download is answered twice (after the empty read that ends
    // the drain before its download line); the second not at all.
    driver.interrogative = {{0, {}}, {2, "0\n"}, {2, "0\n"}};
    QTemporaryDir directory;
    const QString path = QDir(directory.path()).filePath(QStringLiteral("ip_firmware_v2.bin"));
    QVERIFY(Save_File(path, QByteArray(10240, '\x5A')));
    Recording_Message_Box messages;
    Frm_Status status(&messages);
    status.Set_Timer_Intervals(1, 1);
    for (const char *picture : {"status_download.png", "status_error.png"}) {
      status.Set_Command_String(QStringLiteral("DL,IP,RESET\n"));
      status.Set_File_Name(path);
      status.Set_Device_Name(Common::Pad_Nul(QStringLiteral("TAVRIN-0")));
      status.Timer1->stop();  // its tick is the test's call below
      status.show();
      QVERIFY(QTest::qWaitForWindowExposed(&status));
      bool halfway_saved = false;
      const QMetaObject::Connection halfway = connect(status.ProgressBar1, &QProgressBar::valueChanged, this, [&](int value) {
        if (value == 50) halfway_saved = status.lbl_Status->text() == QStringLiteral("50%") && Save_Picture(status, picture);
      });
      status.Timer1_Timer();
      QTRY_VERIFY_WITH_TIMEOUT(!status.Transfer_Running(), 30000);
      disconnect(halfway);
      if (QByteArray(picture) == "status_download.png") {
        QVERIFY(halfway_saved);
        QVERIFY(!status.isVisible());  // the download went on to the end
      } else {
        QCOMPARE(status.lbl_Status->text(), QStringLiteral("Error : Timed out"));
        QVERIFY(status.cmd_Error->isVisible());
        QVERIFY(Save_Picture(status, picture));
        status.cmd_Error->click();
      }
    }
    Use_Real_Library();
  }
};

}  // namespace

int Run_Screenshot_Tests(int argc, char **argv) {
  Screenshot_Test test;
  return QTest::qExec(&test, argc, argv);
}

#include "screenshot_test.moc"
