// frm_Status: the status window and the file transfer.
#include "frm_status.h"

#include "frm_main.h"
#include "message_box.h"

#include <download_exchange.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cmath>

using Common::kFalse;
using Common::kTrue;
using Common::Runtime_Error;
namespace Exchange = Download_Exchange;

namespace {

// The design in twips: the client area, then each control's left, top,
// width and height.
constexpr double kClientWidth = 4680;
constexpr double kClientHeight = 1905;

void Place(QWidget *control, double left, double top, double width, double height) {
  control->setGeometry(Twips_To_Pixels(left), Twips_To_Pixels(top), Twips_To_Pixels(width), Twips_To_Pixels(height));
}

QFont Arial(double points) {
  QFont font(QStringLiteral("Arial"));
  font.setPointSizeF(points);
  return font;
}

QString Text(std::string_view bytes) { return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size())); }
// The texts here stand for bytes, one character each.
std::string Bytes(const QString &text) { return text.toLatin1().toStdString(); }

void Let_Pending_Events_Run() { QCoreApplication::processEvents(); }

// A caption as one line: an instrument's answer ends in a line feed (and may
// hold more), which a one-line label would draw as a second, clipped line.
QString One_Line(QString caption) {
  while (caption.endsWith(QLatin1Char('\n')) || caption.endsWith(QLatin1Char('\r'))) caption.chop(1);
  caption.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
  caption.replace(QLatin1Char('\n'), QLatin1Char(' '));
  caption.replace(QLatin1Char('\r'), QLatin1Char(' '));
  return caption;
}

[[noreturn]] void File_Error(const QString &path) {
  if (!QFileInfo::exists(path)) throw Runtime_Error(Common::kErrorFileNotFound, QStringLiteral("File not found"));
  throw Runtime_Error(Common::kErrorFileAccess, QStringLiteral("Path/File access error"));
}

}  // namespace

Frm_Status::Frm_Status(Message_Box *messages) : QDialog(nullptr), messages_(messages) {
  setObjectName(QStringLiteral("frm_Status"));
  // No title bar (no caption, control box, minimise or maximise button), a
  // fixed border, and no place in the task bar.
  setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint);
  setWindowTitle(QString());
  setFixedSize(Twips_To_Pixels(kClientWidth), Twips_To_Pixels(kClientHeight));
  setFont(Arial(8.25));
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  setPalette(white);
  setAutoFillBackground(true);

  lbl_Filename = new QLabel(this);
  lbl_Filename->setObjectName(QStringLiteral("lbl_Filename"));
  lbl_Filename->setTextFormat(Qt::PlainText);
  Place(lbl_Filename, 120, 120, 4335, 375);

  lbl_Status = new QLabel(this);
  lbl_Status->setObjectName(QStringLiteral("lbl_Status"));
  lbl_Status->setTextFormat(Qt::PlainText);
  lbl_Status->setAlignment(Qt::AlignCenter);
  lbl_Status->setFont(Arial(12));
  // A long reason (an instrument's answer, Cancel's warning) is shown whole,
  // on as many lines as it takes; the window grows to hold them.
  lbl_Status->setWordWrap(true);
  Place(lbl_Status, 120, 480, 4335, 375);

  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  Place(ProgressBar1, 120, 960, 4335, 375);

  cmd_Error = new QPushButton(QStringLiteral("OK"), this);
  cmd_Error->setObjectName(QStringLiteral("cmd_Error"));
  Place(cmd_Error, 1440, 1440, 1575, 375);
  cmd_Error->hide();

  cmd_Cancel = new QPushButton(QStringLiteral("&Cancel"), this);
  cmd_Cancel->setObjectName(QStringLiteral("cmd_Cancel"));
  Place(cmd_Cancel, 1440, 1440, 1575, 375);
  cmd_Cancel->hide();

  // The waits count ticks, so a tick must not come early: coarse timers may
  // fire up to 5% before their time.
  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setTimerType(Qt::PreciseTimer);
  Timer2 = new QTimer(this);
  Timer2->setObjectName(QStringLiteral("Timer2"));
  Timer2->setTimerType(Qt::PreciseTimer);

  connect(Timer1, &QTimer::timeout, this, &Frm_Status::Timer1_Timer);
  connect(Timer2, &QTimer::timeout, this, &Frm_Status::Timer2_Timer);
  connect(cmd_Error, &QPushButton::clicked, this, &Frm_Status::cmd_Error_Click);
  connect(cmd_Cancel, &QPushButton::clicked, this, &Frm_Status::cmd_Cancel_Click);
}

Frm_Status::~Frm_Status() = default;

// ---- Operations of the download start -----------------------------------------------

void Frm_Status::Set_Command_String(const QString &value) { Command_String = value; }

void Frm_Status::Set_File_Name(const QString &value) {
  File_Name = value;
  if (!loaded_) Load();
  lbl_Filename->setText(Text(Exchange::kSending) + value);
}

void Frm_Status::Set_Device_Name(const QString &value) { Device_Name = value; }

// ---- Loading ------------------------------------------------------------------------

void Frm_Status::Load() {
  loaded_ = true;
  abandoned_ = false;
  cancelled_ = false;
  lbl_Filename->clear();
  lbl_Status->clear();
  Fit_Status_Lines();
  progress_ = 0;
  ProgressBar1->setValue(0);
  cmd_Error->hide();
  cmd_Cancel->hide();
  Timer1->setInterval(timer1_ms_);
  Timer1->start();
  Timer2->setInterval(timer2_ms_);
  Timer2->start();
}

void Frm_Status::Unload() {
  if (transfer_running_) {
    abandoned_ = true;
    if (Common::Wait_Step != 0) {
      Wait_Result = static_cast<std::int16_t>(Exchange::Wait_Outcome::Failed);
      Common::Wait_Step = 0;
    }
  }
  Timer1->stop();
  Timer2->stop();
  loaded_ = false;
  done(QDialog::Rejected);
}

void Frm_Status::Set_Timer_Intervals(int timer1_ms, int timer2_ms) {
  timer1_ms_ = timer1_ms;
  timer2_ms_ = timer2_ms;
}

void Frm_Status::showEvent(QShowEvent *event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  // Centred on the screen.
  if (const QScreen *shown_on = screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(shown_on->availableGeometry().center());
    move(frame.topLeft());
  }
}

// ---- Closing ------------------------------------------------------------------------

bool Frm_Status::Error_Shown() const { return cmd_Error->isVisibleTo(this); }

void Frm_Status::cmd_Error_Click() { Unload(); }

void Frm_Status::cmd_Cancel_Click() {
  if (!transfer_running_) return;
  cancelled_ = true;  // the sending loop stops after the write under way
  cmd_Cancel->hide();
}

void Frm_Status::reject() {
  // A download under way without an error cannot be stopped from here.
  if (transfer_running_ && !Error_Shown()) return;
  Unload();
}

// ---- The transfer -------------------------------------------------------------------

void Frm_Status::Set_Status(const QString &caption) {
  const QString shown = One_Line(caption);
  lbl_Status->setText(shown);
  Fit_Status_Lines();
  emit Status_Changed(shown);
}

void Frm_Status::Fit_Status_Lines() {
  // The design's rows, moved down by what the caption needs beyond its one line.
  const int one_line = Twips_To_Pixels(375);
  const int needed = lbl_Status->text().isEmpty() ? one_line : lbl_Status->heightForWidth(lbl_Status->width());
  const double extra = std::max(0, needed - one_line) * kTwipsPerPixel;
  Place(lbl_Status, 120, 480, 4335, 375 + extra);
  Place(ProgressBar1, 120, 960 + extra, 4335, 375);
  Place(cmd_Error, 1440, 1440 + extra, 1575, 375);
  Place(cmd_Cancel, 1440, 1440 + extra, 1575, 375);
  setFixedSize(Twips_To_Pixels(kClientWidth), Twips_To_Pixels(kClientHeight + extra));
}

void Frm_Status::Show_Error(QString &text) {
  text = Text(Exchange::Reason(Bytes(text)));
  Set_Status(Text(Exchange::kErrorPrefix) + text);
  Show_OK_Button();
}

void Frm_Status::Show_OK_Button() {
  cmd_Cancel->hide();
  cmd_Error->show();
  cmd_Error->setFocus();  // Enter or Space presses it
}

std::int16_t Frm_Status::Run_Wait(std::int16_t step) {
  Wait_Result = static_cast<std::int16_t>(Exchange::Wait_Outcome::Pending);
  Answer_Text.clear();
  Common::Wait_Step = step;
  Timer2->start();
  // Timer2's ticks alone move the step back to 0. The loop sleeps until the
  // next event instead of spinning.
  do {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  } while (Common::Wait_Step != 0);
  Timer2->stop();
  return Wait_Result == static_cast<std::int16_t>(Exchange::Wait_Outcome::Succeeded) ? kTrue : kFalse;
}

void Frm_Status::Timer1_Timer() {
  Timer1->stop();
  transfer_running_ = true;
  try {
    Transfer();
  } catch (const Runtime_Error &error) {
    transfer_running_ = false;
    messages_->Show(this, error.Number_And_Description());
    // The window has no title bar: the OK button lets the user dismiss it.
    if (loaded_) Show_OK_Button();
    return;
  }
  transfer_running_ = false;
}

void Frm_Status::Transfer() {
  std::int32_t sent_count = 0;
  const QFileInfo file_info(File_Name);
  if (!file_info.exists()) File_Error(File_Name);
  const qint64 total_length = file_info.size();
  Common::Wait_Step = 0;

  if (Common::Write_Text(Command_String, Device_Name) != kTrue) {
    QString reason = Text(Exchange::kUnableToWrite);
    Show_Error(reason);
  } else if (Run_Wait(1) != kTrue) {
    if (abandoned_) return;
    Show_Error(Answer_Text);
  } else {
    if (abandoned_) return;
    QFile file(File_Name);
    if (!file.open(QIODevice::ReadOnly)) File_Error(File_Name);
    Image_Check::Crc32 sent;
    cmd_Cancel->show();
    for (;;) {
      if (cancelled_) {
        QString reason = kCancelled;
        Show_Error(reason);
        break;
      }
      const qint64 size = Exchange::Chunk_Bytes(file.size() - file.pos());
      if (size == 0) break;
      const QByteArray chunk = file.read(size);
      if (chunk.size() != size) File_Error(File_Name);
      if (Common::Write_Text(QString::fromLatin1(chunk), Device_Name) != kTrue) {
        QString reason = Text(Exchange::kUnableToWrite);
        Show_Error(reason);
        break;
      }
      sent.Add(std::string_view(chunk.constData(), static_cast<std::size_t>(chunk.size())));
      if (!Exchange::Advance_Sent_Count(sent_count)) {
        throw Runtime_Error(Common::kErrorOverflow, QStringLiteral("Overflow"));
      }
      const double percentage = Exchange::Percentage(sent_count, total_length);
      Set_Status(Text(Exchange::Percent_Text(percentage)));
      progress_ = static_cast<float>(percentage);
      ProgressBar1->setValue(static_cast<int>(std::lround(progress_)));
      Let_Pending_Events_Run();
      if (abandoned_) return;
    }
    file.close();
    cmd_Cancel->hide();
    if (Run_Wait(3) == kTrue) {
      Finish_With_Check(sent.Summary());
    } else if (!abandoned_) {
      Show_Error(Answer_Text);
    }
    if (abandoned_) return;
  }
  if (!Error_Shown()) Unload();
}

void Frm_Status::Finish_With_Check(const Image_Check::Image_Summary &sent) {
  // After an error (a failed write, a cancel) the image is known to be
  // partial: the error stays on show, not "Complete".
  if (Error_Shown()) return;
  if (!verify_) {
    Set_Status(Text(Exchange::kComplete));
    if (Run_Wait(5) == kTrue) Let_Pending_Events_Run();
    return;
  }
  const bool checked = Run_Wait(7) == kTrue;
  if (abandoned_) return;
  const auto held =
      checked ? Image_Check::Entry(Bytes(Answer_Text), Image_Check::Type_Named_In(Bytes(Command_String))) : std::nullopt;
  if (held && *held != sent) {
    QString reason = Text(Image_Check::Mismatch_Text(sent, *held));
    Show_Error(reason);
    return;
  }
  // An instrument that does not answer the question leaves the plain caption.
  Set_Status(held ? kCompleteVerified : Text(Exchange::kComplete));
  if (Run_Wait(5) == kTrue) Let_Pending_Events_Run();
}

// ---- The wait machine -----------------------------------------------------------------

void Frm_Status::Timer2_Timer() {
  switch (Common::Wait_Step) {
    case 1:
      Remaining_Time = Exchange::kAcknowledgementWaitMs;
      Common::Wait_Step = 2;
      break;
    case 3:
      Remaining_Time = Exchange::kFinalAnswerWaitMs;
      Common::Wait_Step = 4;
      break;
    case 5:
      Remaining_Time = Exchange::kCompletePauseMs;
      Common::Wait_Step = 6;
      break;
    case 2:
    case 4: {
      Remaining_Time -= Exchange::kWaitTickMs;
      const Common::Read_Result read = Common::Read_Interrogative(Device_Name);
      if (read.Success == kTrue) Answer_Text = read.Text;
      const Exchange::Wait_Outcome outcome =
          Exchange::Judge_Read(read.Success == kTrue, Bytes(read.Text), Remaining_Time);
      if (outcome != Exchange::Wait_Outcome::Pending) {
        Wait_Result = static_cast<std::int16_t>(outcome);
        Common::Wait_Step = 0;
      }
      break;
    }
    case 7:
      Remaining_Time = kCheckWaitMs;
      question_sent_ = false;
      Common::Wait_Step = 8;
      break;
    case 8:
      Check_Tick();
      break;
    case 6:
      Remaining_Time -= Exchange::kWaitTickMs;
      if (Remaining_Time <= 0) {
        Wait_Result = static_cast<std::int16_t>(Exchange::Wait_Outcome::Succeeded);
        Common::Wait_Step = 0;
      }
      break;
    default:  // 0: idle
      Let_Pending_Events_Run();
      break;
  }
}

// The image check: the question goes out once the instrument is listed (it
// may be away for a reset), then each tick reads once until a whole answer
// line has come. An instrument that leaves the bus before answering is asked
// again when it is back; one that stays listed and says nothing for
// kCheckReads reads, or that is not back within kCheckWaitMs, leaves the
// image unchecked.
void Frm_Status::Check_Tick() {
  Remaining_Time -= Exchange::kWaitTickMs;
  const bool present = Device_Present();
  if (!question_sent_) {
    if (present && Common::Write_Text(Text(Image_Check::kQuery), Device_Name) == kTrue) {
      question_sent_ = true;
      quiet_reads_ = 0;
      Answer_Text.clear();
    }
  } else {
    const Common::Read_Result read = Common::Read_Interrogative(Device_Name);
    if (read.Success == kTrue && !read.Text.isEmpty()) {
      Answer_Text += read.Text;
      quiet_reads_ = 0;
      if (Answer_Text.contains(QLatin1Char('\n'))) {
        Wait_Result = static_cast<std::int16_t>(Exchange::Wait_Outcome::Succeeded);
        Common::Wait_Step = 0;
        return;
      }
    } else if (!present) {
      question_sent_ = false;
    } else if (++quiet_reads_ >= kCheckReads) {
      Remaining_Time = 0;
    }
  }
  if (Remaining_Time <= 0) {
    Wait_Result = static_cast<std::int16_t>(Exchange::Wait_Outcome::Failed);
    Common::Wait_Step = 0;
  }
}

bool Frm_Status::Device_Present() const {
  try {
    const QStringList listed =
        Common::Strip_Nul(Common::USB_Get_ALL_Available_DeviceName()).split(QStringLiteral("\r\n"));
    return listed.contains(Common::Strip_Nul(Device_Name));
  } catch (const Runtime_Error &) {
    return false;  // no library: nothing is listed
  }
}
