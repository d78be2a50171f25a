// A picture of the main window with two substitute instruments, after a
// command and its answer, saved for people to look at:
// <build>/screenshots/main_window.png.
#include "test_support.h"

#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTest>

#include <cstdio>

namespace {

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
};

}  // namespace

int Run_Screenshot_Tests(int argc, char **argv) {
  Screenshot_Test test;
  return QTest::qExec(&test, argc, argv);
}

#include "screenshot_test.moc"
