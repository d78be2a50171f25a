// Frm_Main as a whole: its controls, start-up with the settings store, the
// failures that end start-up, and Exit saving the position.
#include "test_support.h"

#include "frm_status.h"

#include <QApplication>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <QTimer>

namespace {

QFont::Weight Weight(const QWidget *w) { return static_cast<QFont::Weight>(w->font().weight()); }

class Startup_Test : public QObject {
  Q_OBJECT

 private slots:
  void init() { Use_Real_Library(); }
  void cleanup() { Use_Real_Library(); }

  void The_controls_have_their_names_containers_captions_and_fonts() {
    Console console;
    Frm_Main &form = console.Start(false);
    QCOMPARE(form.objectName(), QStringLiteral("Frm_Main"));
    QCOMPARE(form.windowTitle(), QStringLiteral("Tavrin"));
    QCOMPARE(form.palette().color(QPalette::Window), QColor(0xC0, 0xC0, 0xC0));
    QVERIFY(!form.windowIcon().isNull());

    struct Expected {
      const char *name;
      QWidget *container;
      QString caption;
    };
    const Expected expected[] = {
        {"lb_USB_I", &form, QStringLiteral("USB Interrogative")},
        {"txt_USBI_Buffer", &form, QString()},
        {"lb_USB_F", &form, QStringLiteral("USB Formatted")},
        {"txt_USBF_Buffer", &form, QString()},
        {"Pic_Command", &form, QString()},
        {"lst_Commands", form.Pic_Command, QString()},
        {"txt_Command", form.Pic_Command, QString()},
        {"Cmd_Send", form.Pic_Command, QStringLiteral("Send")},
        {"Cmd_Exit", form.Pic_Command, QStringLiteral("Exit")},
        {"pic_FileName", &form, QString()},
        {"Frm_Code_Block", form.pic_FileName, QStringLiteral("Code Block")},
        {"txt_IP_Firmware_Location", form.Frm_Code_Block, QString()},
        {"txt_DSP_Firmware_Location", form.Frm_Code_Block, QString()},
        {"txt_FPGA_Firmware_Location", form.Frm_Code_Block, QString()},
        {"Cmd_Get_IP_File_Name", form.Frm_Code_Block, QStringLiteral("...")},
        {"Cmd_DSP_Get_File_Name", form.Frm_Code_Block, QStringLiteral("...")},
        {"Cmd_FPGA_Get_File_Name", form.Frm_Code_Block, QStringLiteral("...")},
        {"Frm_After_Download", form.pic_FileName, QStringLiteral("After Download")},
        {"Cmd_Send_File", form.pic_FileName, QStringLiteral("Start Download")},
        {"lbl_TA_Devices", form.pic_FileName, QStringLiteral("Tavrin Devices")},
        {"List_Devices", form.pic_FileName, QString()},
    };
    for (const Expected &e : expected) {
      QWidget *control = form.findChild<QWidget *>(QString::fromLatin1(e.name));
      QVERIFY2(control != nullptr, e.name);
      QVERIFY2(control->parentWidget() == e.container, e.name);
      QString caption;
      if (auto *label = qobject_cast<QLabel *>(control)) caption = label->text();
      if (auto *button = qobject_cast<QPushButton *>(control)) caption = button->text();
      if (auto *frame = qobject_cast<QGroupBox *>(control)) caption = frame->title();
      if (auto *box = qobject_cast<QLineEdit *>(control)) caption = box->text();
      if (auto *box = qobject_cast<QPlainTextEdit *>(control)) caption = box->toPlainText();
      // A caption shows without the "&" that marks its keyboard mnemonic.
      QCOMPARE(caption.remove(QLatin1Char('&')), e.caption);
    }

    const QList<QRadioButton *> file_types = form.Frm_Code_Block->findChildren<QRadioButton *>(QStringLiteral("Opt_File_Type"));
    QCOMPARE(file_types.size(), 3);
    QCOMPARE(form.Opt_File_Type[0]->text().remove(QLatin1Char('&')), QStringLiteral("IP"));
    QCOMPARE(form.Opt_File_Type[1]->text().remove(QLatin1Char('&')), QStringLiteral("DSP"));
    QCOMPARE(form.Opt_File_Type[2]->text().remove(QLatin1Char('&')), QStringLiteral("FPGA"));
    QCOMPARE(form.Opt_File_Type[2]->property("Index").toInt(), 2);
    QVERIFY(form.Opt_File_Type[0]->isChecked());
    QCOMPARE(form.After_Download_Opt[0]->text().remove(QLatin1Char('&')), QStringLiteral("Reset"));
    QCOMPARE(form.After_Download_Opt[1]->text().remove(QLatin1Char('&')), QStringLiteral("No Reset"));
    QCOMPARE(form.After_Download_Opt[0]->parentWidget(), form.Frm_After_Download);
    QVERIFY(form.After_Download_Opt[0]->isChecked());
    // Each group chooses on its own.
    form.After_Download_Opt[1]->setChecked(true);
    QVERIFY(form.Opt_File_Type[0]->isChecked());

    QCOMPARE(form.findChild<QTimer *>(QStringLiteral("Timer1")), form.Timer1);
    QCOMPARE(form.Timer1->interval(), 100);

    // Fonts: Arial at the given sizes, drawn with its metric twin.
    for (QWidget *label : {static_cast<QWidget *>(form.lb_USB_I), static_cast<QWidget *>(form.lb_USB_F)}) {
      QCOMPARE(label->font().family(), QStringLiteral("Arial"));
      QCOMPARE(label->font().pointSizeF(), 15.75);
      QCOMPARE(Weight(label), QFont::Bold);
    }
    QCOMPARE(form.txt_USBI_Buffer->font().pointSizeF(), 8.25);
    QCOMPARE(Weight(form.txt_USBI_Buffer), QFont::Normal);
    QCOMPARE(form.txt_IP_Firmware_Location->font().pointSizeF(), 8.25);
    QCOMPARE(Weight(form.txt_FPGA_Firmware_Location), QFont::Bold);
    QCOMPARE(form.lbl_TA_Devices->font().pointSizeF(), 9.75);
    QCOMPARE(Weight(form.lbl_TA_Devices), QFont::Bold);
    QCOMPARE(QFontInfo(form.lb_USB_I->font()).family(), QStringLiteral("Liberation Sans"));
  }

  void The_focus_order_runs_through_the_console_then_the_download_area() {
    Console console;
    Frm_Main &form = console.Start(false);
    const QList<QWidget *> expected = {
        form.txt_USBI_Buffer,         form.txt_USBF_Buffer,       form.Cmd_Exit,
        form.lst_Commands,            form.txt_Command,           form.Cmd_Send,
        form.Opt_File_Type[0],        form.Opt_File_Type[1],      form.Opt_File_Type[2],
        form.txt_IP_Firmware_Location, form.Cmd_Get_IP_File_Name, form.txt_DSP_Firmware_Location,
        form.Cmd_DSP_Get_File_Name,   form.txt_FPGA_Firmware_Location, form.Cmd_FPGA_Get_File_Name,
        form.After_Download_Opt[0],   form.After_Download_Opt[1], form.Cmd_Send_File,
        form.List_Devices,
    };
    QList<QWidget *> chain;
    QWidget *w = form.txt_USBI_Buffer;
    do {
      if (w->focusPolicy() & Qt::TabFocus) chain.append(w);
      w = w->nextInFocusChain();
    } while (w != form.txt_USBI_Buffer && chain.size() <= expected.size());
    QCOMPARE(chain, expected);
  }

  void A_first_run_opens_at_the_top_left_at_the_first_start_size() {
    Console console;
    Frm_Main &form = console.Start_Shown();
    QVERIFY(console.Messages.Messages.isEmpty());
    QCOMPARE(form.Top(), 0.0);
    QCOMPARE(form.Left(), 0.0);
    QCOMPARE(form.Width(), 9500.0);
    QCOMPARE(form.Height(), 11000.0);
    QCOMPARE(form.frameGeometry(), QRect(0, 0, 633, 733));  // 15 twips a pixel
    QCOMPARE(form.txt_IP_Firmware_Location->text(), QString());
    QCOMPARE(form.txt_DSP_Firmware_Location->text(), QString());
    QCOMPARE(form.txt_FPGA_Firmware_Location->text(), QString());
    QCOMPARE(Rows(form.List_Devices), QStringList{Frm_Main::kNoDevices});
    QCOMPARE(form.Selected_Device(), Frm_Main::kNoDevices);
    QCOMPARE(form.Connected, Common::kFalse);
    QVERIFY(!form.Cmd_Send->isEnabled());
    QVERIFY(!form.Cmd_Send_File->isEnabled());
    QVERIFY(form.Timer1->isActive());
    QCOMPARE(form.Timer1->interval(), 100);
    // Ticks whose length matters never come early.
    QCOMPARE(form.Timer1->timerType(), Qt::PreciseTimer);
    QCOMPARE(form.frm_Status->Timer1->timerType(), Qt::PreciseTimer);
    QCOMPARE(form.frm_Status->Timer2->timerType(), Qt::PreciseTimer);
    QCOMPARE(Common::History_File_Path, console.History_File());
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), form.txt_Command);
  }

  void The_locations_come_from_the_store_DSP_whatever_its_spelling() {
    Console console;
    console.Settings().Save_Setting(QStringLiteral("FileName"), QStringLiteral("IP"), QStringLiteral("/fw/ip.bin"));
    console.Settings().Save_Setting(QStringLiteral("FileName"), QStringLiteral("DSP"), QStringLiteral("/fw/dsp.bin"));
    console.Settings().Save_Setting(QStringLiteral("FileName"), QStringLiteral("FPGA"), QStringLiteral("/fw/fpga.bit"));
    Frm_Main &form = console.Start();
    QCOMPARE(form.txt_IP_Firmware_Location->text(), QStringLiteral("/fw/ip.bin"));
    QCOMPARE(form.txt_DSP_Firmware_Location->text(), QStringLiteral("/fw/dsp.bin"));
    QCOMPARE(form.txt_FPGA_Firmware_Location->text(), QStringLiteral("/fw/fpga.bit"));
  }

  void Exit_saves_the_position_and_the_next_start_restores_it() {
    Console console;
    {
      Frm_Main &form = console.Start_Shown();
      // The user moves the window to 1200 left, 600 top and makes it 12000 by 9000.
      form.move(80, 40);
      const QSize frame = form.frameGeometry().size() - form.size();
      form.resize(QSize(800, 600) - frame);
      QCOMPARE(form.Left(), 1200.0);
      QCOMPARE(form.Top(), 600.0);
      QCOMPARE(form.Width(), 12000.0);
      QCOMPARE(form.Height(), 9000.0);
      form.Cmd_Exit->click();
      QCOMPARE(console.Ended_Codes, std::vector<int>{0});
      QVERIFY(form.Ended());
      QVERIFY(!form.isVisible());
      QVERIFY(!form.Timer1->isActive());
    }
    QCOMPARE(console.Stored(QStringLiteral("Position/Top")), QStringLiteral("600"));
    QCOMPARE(console.Stored(QStringLiteral("Position/Left")), QStringLiteral("1200"));
    QCOMPARE(console.Stored(QStringLiteral("Position/Height")), QStringLiteral("9000"));
    QCOMPARE(console.Stored(QStringLiteral("Position/Width")), QStringLiteral("12000"));

    Frm_Main &again = console.Start_Shown();
    QCOMPARE(again.Top(), 600.0);
    QCOMPARE(again.Left(), 1200.0);
    QCOMPARE(again.Height(), 9000.0);
    QCOMPARE(again.Width(), 12000.0);
    QCOMPARE(again.frameGeometry(), QRect(80, 40, 800, 600));
  }

  void Exit_writes_whole_numbers_and_a_negative_left_comes_back() {
    Console console;
    console.Settings().Save_Setting(QStringLiteral("Position"), QStringLiteral("Left"), QStringLiteral("-1500"));
    console.Settings().Save_Setting(QStringLiteral("Position"), QStringLiteral("Top"), QStringLiteral("300.6"));
    Frm_Main &form = console.Start();
    QCOMPARE(form.Left(), -1500.0);
    QCOMPARE(form.Top(), 300.6f);  // a single-precision number
    form.Cmd_Exit_Click();
    QCOMPARE(console.Stored(QStringLiteral("Position/Left")), QStringLiteral("-1500"));
    QCOMPARE(console.Stored(QStringLiteral("Position/Top")), QStringLiteral("301"));

    // The user drags the window partly off the left edge of the screen.
    Frm_Main &shown = console.Start_Shown();
    shown.move(-30, 10);
    QCOMPARE(shown.frameGeometry().topLeft(), QPoint(-30, 10));
    shown.Cmd_Exit_Click();
    QCOMPARE(console.Stored(QStringLiteral("Position/Left")), QStringLiteral("-450"));
    QCOMPARE(console.Start().Left(), -450.0);
  }

  // The stored values are the outer rectangle: run after run the frame
  // stays where it was, title bar on the screen, and a window saved on a
  // screen that is no longer there comes back on the primary one.
  void Restarts_keep_the_frame_in_place_and_on_a_screen() {
    Console console;
    for (int run = 0; run < 3; ++run) {
      Frm_Main &form = console.Start_Shown();
      QCOMPARE(form.frameGeometry(), QRect(0, 0, 633, 733));
      QVERIFY(form.geometry().top() >= 0);
      form.Cmd_Exit_Click();
      QCOMPARE(console.Stored(QStringLiteral("Position/Top")), QStringLiteral("0"));
      QCOMPARE(console.Stored(QStringLiteral("Position/Height")), QStringLiteral("11000"));
    }
    console.Settings().Save_Setting(QStringLiteral("Position"), QStringLiteral("Left"), QStringLiteral("60000"));
    console.Settings().Save_Setting(QStringLiteral("Position"), QStringLiteral("Top"), QStringLiteral("-45000"));
    Frm_Main &form = console.Start_Shown();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(screen.contains(form.frameGeometry().topLeft()));
    QCOMPARE(form.frameGeometry().size(), QSize(633, 733));
    QCOMPARE(form.Left(), screen.left() * 15.0 + std::max(0, screen.width() - 633) * 15.0);
  }

  void Closing_through_the_close_box_saves_nothing() {
    Console console;
    Frm_Main &form = console.Start_Shown();
    form.Cmd_Exit_Click();  // saves 0, 0, 11000, 9500
    Frm_Main &moved = console.Start_Shown();
    moved.move(150, 150);
    QCOMPARE(moved.Left(), 2250.0);
    moved.close();
    QVERIFY((console.Ended_Codes == std::vector<int>{0, 0}));  // it ends the program too, saving nothing
    Frm_Main &again = console.Start();
    QCOMPARE(again.Left(), 0.0);
    QCOMPARE(again.Top(), 0.0);
  }

  void Start_up_failures_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("library");
    const QString real;
    QTest::newRow("width no number") << QStringLiteral("Width") << QStringLiteral("abc") << real;
    QTest::newRow("empty top") << QStringLiteral("Top") << QString() << real;
    QTest::newRow("negative height") << QStringLiteral("Height") << QStringLiteral("-10") << real;
    QTest::newRow("missing library") << QString() << QString() << QStringLiteral("/nonexistent/libTavrin_570x_Driver.so");
    QTest::newRow("missing list entry") << QString() << QString() << Beside_Program(kPartialTestDriverFile);
  }

  void Start_up_failures() {
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, library);
    Console console;
    if (!key.isEmpty()) console.Settings().Save_Setting(QStringLiteral("Position"), key, value);
    if (!library.isEmpty()) Common::Set_Library_File(library);
    Frm_Main &form = console.Start(false);
    if (!key.isEmpty()) {
      // A bad stored value is named with its file; its default is used and start-up goes on.
      QVERIFY(form.Form_Load());
      QCOMPARE(console.Messages.Messages.size(), 1);
      const QString message = console.Messages.Messages[0];
      QVERIFY2(message.contains(QStringLiteral("Position/") + key) &&
                   message.contains(console.Settings().File_Name()) && message.contains(QLatin1Char('"') + value + QLatin1Char('"')),
               qPrintable(message));
      const double defaults[] = {0, 11000, 9500};
      const double restored[] = {form.Top(), form.Height(), form.Width()};
      const int which = key == QStringLiteral("Top") ? 0 : key == QStringLiteral("Height") ? 1 : 2;
      QCOMPARE(restored[which], defaults[which]);
      QVERIFY(console.Ended_Codes.empty());
      QVERIFY(form.Timer1->isActive());
      return;
    }
    QVERIFY(!form.Form_Load());
    // The message is all the user sees; then the program ends.
    QCOMPARE(console.Messages.Messages, QStringList{Frm_Main::kDriverNotLoaded});
    QCOMPARE(console.Ended_Codes, std::vector<int>{1});
    QVERIFY(form.Ended());
    QVERIFY(!form.isVisible());
    QVERIFY(!form.Timer1->isActive());
    if (!library.isEmpty()) {
      QCOMPARE(form.List_Devices->count(), 0);  // stopped at its first step
      QCOMPARE(Common::History_File_Path, QString());
    }
  }
};

}  // namespace

int Run_Startup_Tests(int argc, char **argv) {
  Startup_Test test;
  return QTest::qExec(&test, argc, argv);
}

#include "startup_test.moc"
