// Frm_Main's device list and command console: discovery and polling on
// Timer1, the connection state, the Send handler and the reply rule.
#include "frm_main.h"

#include "message_box.h"

#include <QCoreApplication>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QLineEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>

using Common::kFalse;
using Common::kTrue;
using Common::Pad_Nul;
using Common::Read_Result;
using Common::Runtime_Error;
using Common::Strip_Nul;

namespace {

constexpr int kDiscoveryInterval = 5000;  // ms between discovery ticks
constexpr int kPollingInterval = 100;     // ms between polling ticks

const QString kLineEnd = QStringLiteral("\r\n");
const QChar kLineFeed = QLatin1Char('\n');
// Rows whose text holds this are instruments.
const QString kDeviceFilter = QStringLiteral("TA");

void Let_Pending_Events_Run() { QCoreApplication::processEvents(); }

}  // namespace

QString Frm_Main::Selected_Device() const {
  const QList<QListWidgetItem *> selected = List_Devices->selectedItems();
  return selected.isEmpty() ? QString() : selected.first()->text();
}

void Frm_Main::Refresh_Device_List() {
  List_Devices->clear();
  QString list = Strip_Nul(Common::USB_Get_ALL_Available_DeviceName());
  if (!list.isEmpty()) {
    // Text after the last line end is not used.
    for (qsizetype end = list.indexOf(kLineEnd); end >= 0; end = list.indexOf(kLineEnd)) {
      const QString name = list.left(end);
      list.remove(0, end + kLineEnd.size());
      List_Devices->addItem(name);
      Let_Pending_Events_Run();
    }
  }
  // A list with no line end at all names nothing usable either.
  if (List_Devices->count() == 0) List_Devices->addItem(kNoDevices);
  List_Devices->setCurrentRow(0);
}

void Frm_Main::Set_Connected(std::int16_t value) {
  Connected = value;
  Enable_Send_Buttons(value);
  if (value != kFalse) {
    connected_device_ = Selected_Device();
    gone_note_.clear();
  }
  Show_Connection_State();
}

void Frm_Main::Enable_Send_Buttons(std::int16_t value) {
  Cmd_Send->setEnabled(value != kFalse);
  Cmd_Send_File->setEnabled(value != kFalse);
}

void Frm_Main::Cmd_Send_Click() {
  try {
    // The transcript view keeps earlier answers; the design's box starts afresh.
    if (Transcript()) {
      if (!txt_USBI_Buffer->toPlainText().endsWith(QLatin1Char('\n')) && !txt_USBI_Buffer->document()->isEmpty())
        Show_Reply(txt_USBI_Buffer, Common::Last_Interrogative_Reply, QStringLiteral("\n"));
    } else {
      txt_USBI_Buffer->clear();
    }
    const QString row = Selected_Device();
    if (row.isEmpty() || row == kNoDevices) {
      Set_Connected(kFalse);
      Report(QStringLiteral("Not sent: ") + No_Instrument_Reason());
      return;
    }
    QString device = Pad_Nul(row);
    const QString command = txt_Command->text();
    // A character without an 8-bit code cannot cross: say which, send
    // nothing, and keep the command as typed so that it can be mended.
    for (const QChar c : command) {
      if (c.unicode() > 0xFF) {
        Report(QStringLiteral("Not sent: \"%1\" (U+%2) has no code in the instrument's 8-bit code page")
                   .arg(c)
                   .arg(QString::number(c.unicode(), 16).rightJustified(4, QLatin1Char('0')).toUpper()));
        Add_Command_To_History(command);
        return;
      }
    }
    if (Common::Write_Text(command + kLineFeed, device) == kFalse) {
      Set_Connected(kFalse);
      Report(QStringLiteral("Not sent: %1 did not take the command (is it still plugged in?)").arg(row));
    } else {
      Clear_Last_Error();  // a command went: an earlier problem is over
    }
    Add_Command_To_History(command);
  } catch (const Runtime_Error &error) {
    Untrapped_Error(error);
  }
}

void Frm_Main::Timer1_Timer() {
  Timer1->stop();
  try {
    if (Connected == kFalse) {
      // Discovery.
      Timer1->setInterval(kDiscoveryInterval);
      Refresh_Device_List();
      if (Selected_Device().contains(kDeviceFilter, Qt::CaseSensitive)) Set_Connected(kTrue);
    } else {
      // Polling.
      QString device;
      bool usable = true;
      if (!Strip_Nul(Common::USB_Get_ALL_Available_DeviceName()).isEmpty()) {
        Timer1->setInterval(kPollingInterval);
        const QString row = Selected_Device();
        if (row.isEmpty() || row == kNoDevices) {
          Set_Connected(kFalse);
          usable = false;
        } else {
          device = Pad_Nul(row);
          const Read_Result result = Common::Read_Interrogative(device);
          if (result.Success == kTrue) Show_Reply(txt_USBI_Buffer, Common::Last_Interrogative_Reply, result.Text);
        }
      } else {
        Connected = kFalse;  // the flag only; the buttons keep their state
        Instrument_Gone();
      }
      if (usable) {
        if (Strip_Nul(Common::USB_Get_ALL_Available_DeviceName()).isEmpty()) {
          Connected = kFalse;
          Instrument_Gone();
        } else {
          const Read_Result result = Common::Read_Formatted(device);
          if (result.Success == kTrue) Show_Reply(txt_USBF_Buffer, Common::Last_Formatted_Reply, result.Text);
        }
      }
    }
  } catch (const Runtime_Error &error) {
    Untrapped_Error(error);
    return;
  }
  Let_Pending_Events_Run();
  if (!ended_) Timer1->start();
}

void Frm_Main::Apply_Reply_Rule(QPlainTextEdit *box, QString &memory, const QString &text) {
  if (memory.contains(kLineFeed) && !text.isEmpty()) box->clear();
  memory = text;
  QString shown = text;
  shown.remove(kLineFeed);
  if (shown.isEmpty()) return;
  QTextCursor end(box->document());
  end.movePosition(QTextCursor::End);
  end.insertText(shown);
  box->verticalScrollBar()->setValue(box->verticalScrollBar()->maximum());
}

QString Frm_Main::No_Instrument_Reason() const {
  // An instrument that was connected and went (unplugged, or the service
  // that served it stopped) is named, not taken for a missing choice.
  if (!gone_note_.isEmpty()) return gone_note_ + QStringLiteral("; Pipe_Console looks for instruments every 5 s");
  return QStringLiteral("no instrument is selected");
}

void Frm_Main::Untrapped_Error(const Runtime_Error &error) {
  Show_Message(error.Number_And_Description());
  End_Program(1);
}
