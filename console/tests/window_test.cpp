// The main window in a real X session with a window manager: closing it with
// the title-bar close box, and making it as small as the window manager lets
// it. Run by with_window_manager (a virtual X server and openbox); the tests
// are skipped where no window manager frames the window.
#include "test_support.h"

#include "frm_log.h"
#include "frm_plot.h"

#include <QAction>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>
#include <QApplication>
#include <QProcess>
#include <QTest>
#include <QWindow>

namespace {

// Runs xdotool with `arguments`; false when it did not run or failed.
bool Xdotool(const QStringList &arguments) {
  QProcess xdotool;
  xdotool.start(QStringLiteral("xdotool"), arguments);
  return xdotool.waitForFinished(10000) && xdotool.exitStatus() == QProcess::NormalExit && xdotool.exitCode() == 0;
}

QString Window_Id(QWidget &window) { return QString::number(window.winId()); }

// Shows the window and waits until the window manager has framed it.
bool Shown_And_Framed(QWidget &window) {
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return false;
  return QTest::qWaitFor([&] { return !window.windowHandle()->frameMargins().isNull(); }, 5000);
}

bool Overlap(const Twips_Rect &a, const Twips_Rect &b) {
  return a.Left < b.Left + b.Width && b.Left < a.Left + a.Width && a.Top < b.Top + b.Height && b.Top < a.Top + a.Height;
}

class Window_Test : public QObject {
  Q_OBJECT

 private slots:
  void init() { Use_Real_Library(); }

  void The_close_box_ends_the_program_and_its_views_and_saves_nothing() {
    Console console;
    Frm_Main &form = console.Start();
    form.act_Log->setChecked(true);
    form.act_Plot->setChecked(true);
    if (!Shown_And_Framed(form)) QSKIP("no window manager framed the window");
    QVERIFY(form.frm_Log->isVisible() && form.frm_Plot->isVisible());
    // Alt+F4 is the window manager's close, as the title bar's close box.
    QVERIFY(Xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), Window_Id(form)}));
    QVERIFY(Xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), QStringLiteral("alt+F4")}));
    QTRY_COMPARE_WITH_TIMEOUT(console.Ended_Codes, std::vector<int>{0}, 5000);
    QVERIFY(!form.isVisible());
    QVERIFY(!form.frm_Log->isVisible());
    QVERIFY(!form.frm_Plot->isVisible());
    QVERIFY(!form.Timer1->isActive());
    // Only Exit keeps the position; the views stay as they were chosen.
    QCOMPARE(console.Stored(QStringLiteral("Position/Top")), QString());
    QCOMPARE(console.Stored(QStringLiteral("View/Log")), QStringLiteral("1"));
  }

  void At_the_smallest_size_every_control_keeps_its_place() {
    Console console;
    // The design geometry, before any arrangement: which controls lie apart.
    Frm_Main &design = console.Start(false);
    QList<QPair<QString, Twips_Rect>> designed;
    for (QWidget *control : Controls(design)) designed.append({Name(control), design.Twips(control)});

    Frm_Main &form = console.Start();
    if (!Shown_And_Framed(form)) QSKIP("no window manager framed the window");
    // Once framed, the window keeps its outer size in twips.
    QTRY_COMPARE_WITH_TIMEOUT(form.frameGeometry().size(), QSize(Twips_To_Pixels(form.Width()), Twips_To_Pixels(form.Height())), 5000);
    // Ask for far less than the minimum: the window manager keeps the minimum.
    QVERIFY(Xdotool({QStringLiteral("windowsize"), Window_Id(form), QStringLiteral("40"),
                     QStringLiteral("40")}));
    const QSizeF minimum = form.Minimum_Outer_Twips();
    QTRY_COMPARE_WITH_TIMEOUT(form.frameGeometry().width(), static_cast<int>(std::ceil(minimum.width() / 15)), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(form.frameGeometry().height(), static_cast<int>(std::ceil(minimum.height() / 15)), 5000);

    const QList<QWidget *> controls = Controls(form);
    for (int i = 0; i < controls.size(); ++i) {
      QWidget *control = controls[i];
      const QString name = Name(control);
      // Shown, whole, inside its container.
      QVERIFY2(control->width() > 0 && control->height() > 0, qPrintable(name));
      QVERIFY2(control->parentWidget()->rect().contains(control->geometry()), qPrintable(name));
      // No control comes onto another that it lies apart from in the design.
      for (int j = i + 1; j < controls.size(); ++j) {
        QWidget *other = controls[j];
        if (other->parentWidget() != control->parentWidget() || Overlap(designed[i].second, designed[j].second)) continue;
        QVERIFY2(!control->geometry().intersects(other->geometry()),
                 qPrintable(name + QStringLiteral(" covers ") + Name(other)));
      }
    }
    // The boxes the rules size keep their line of text, and little more (the
    // window's size is whole pixels).
    const double line = form.Twips(form.txt_Command).Height;
    const double path = form.Twips(form.Opt_File_Type[1]).Width;
    QVERIFY(form.Twips(form.txt_USBI_Buffer).Height >= line && form.Twips(form.txt_USBI_Buffer).Height < line + 15);
    QVERIFY(form.Twips(form.txt_IP_Firmware_Location).Width >= path &&
            form.Twips(form.txt_IP_Firmware_Location).Width < path + 15);
  }

 private:
  // The window's named controls, in a fixed order.
  static QList<QWidget *> Controls(Frm_Main &form) {
    QList<QWidget *> controls;
    for (QWidget *control : form.findChildren<QWidget *>()) {
      const bool status_bar = control == form.sts_Status || form.sts_Status->isAncestorOf(control);
      if (control->objectName().isEmpty() || control->objectName().startsWith(QStringLiteral("qt_")) || status_bar) continue;
      controls.append(control);
    }
    return controls;
  }
  static QString Name(const QWidget *control) {
    QString name = control->objectName();
    if (control->property("Index").isValid()) name += QString::number(control->property("Index").toInt());
    return name;
  }
};

}  // namespace

int main(int argc, char **argv) {
  host::SetSimulatedInstruments(0);
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  Window_Test test;
  return QTest::qExec(&test, argc, argv);
}

#include "window_test.moc"
