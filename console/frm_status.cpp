// frm_Status: the status window and the file transfer.
#include "frm_status.h"

#include "frm_main.h"
#include "message_box.h"

#include <download_exchange.h>
#include <image_check.h>
#include <instrument.h>
#include <library_types.h>

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

using Stage = Client::Download::Stage;
using Failure = Client::Download::Failure;

// A caption as one line: an instrument's answer ends in a line feed (and may
// hold more), which a one-line label would draw as a second, clipped line.
QString One_Line(QString caption) {
  while (caption.endsWith(QLatin1Char('\n')) || caption.endsWith(QLatin1Char('\r'))) caption.chop(1);
  caption.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
  caption.replace(QLatin1Char('\n'), QLatin1Char(' '));
  caption.replace(QLatin1Char('\r'), QLatin1Char(' '));
  return caption;
}

// The run-time error of a file that cannot be read: gone, or refused.
Runtime_Error File_Error(const QString &path) {
  if (!QFileInfo::exists(path)) return Runtime_Error(Common::kErrorFileNotFound, QStringLiteral("File not found"));
  return Runtime_Error(Common::kErrorFileAccess, QStringLiteral("Path/File access error"));
}

}  // namespace

// The file to send, opened when its first bytes are wanted (after the
// acknowledgement) and read front to back.
class Frm_Status::Image_File final : public Client::Image_Source {
 public:
  Image_File(const QString &path, qint64 size) : file_(path), size_(size) {}
  std::int64_t Size() const override { return size_; }
  bool Read(char *into, std::size_t count) override {
    if (!file_.isOpen() && !file_.open(QIODevice::ReadOnly)) return false;
    return file_.read(into, static_cast<qint64>(count)) == static_cast<qint64>(count);
  }

 private:
  QFile file_;
  qint64 size_;
};

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
    // Nothing more is sent or read; a sending run of chunks stops too.
    if (download_) download_->Abandon();
    transfer_running_ = false;
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

// ---- Captions and the error display -------------------------------------------------

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

// ---- The transfer -------------------------------------------------------------------
// Timer1's tick starts the download: the file is looked at, the
// interrogative channel drained and the download line sent. Timer2's ticks
// then drive its waits; when the acknowledgement has come the image goes in
// one run of chunks, with events let run after each.

void Frm_Status::Timer1_Timer() {
  Timer1->stop();
  transfer_running_ = true;
  try {
    const QFileInfo file_info(File_Name);
    if (!file_info.exists()) throw File_Error(File_Name);
    image_ = std::make_unique<Image_File>(File_Name, file_info.size());
    instrument_ = std::make_unique<Client::Instrument>(Common::Download_Library(), Bytes(Common::Strip_Nul(Device_Name)));
    const Client::Download::Options options{.check = verify_, .pause = true};
    download_ = std::make_unique<Client::Download>(*instrument_, Bytes(Command_String), *image_, options);
    Answer_Text.clear();
    download_->Start();
  } catch (const Runtime_Error &error) {
    return Report(error);
  }
  Follow_Download();
  // Each wait counts whole ticks from here.
  if (transfer_running_) Timer2->start();
}

void Frm_Status::Timer2_Timer() {
  // Idle, or a tick that came while the image is being sent.
  if (!transfer_running_ || !download_ || in_tick_) return;
  in_tick_ = true;
  try {
    download_->Tick();
    Answer_Text = Text(download_->Answer());
    Follow_Download();
  } catch (const Client::Bounds_Error &) {
    // A reply array the library handed back shorter than the one it was given.
    Report(Runtime_Error(Common::kErrorSubscript, QStringLiteral("Subscript out of range")));
  }
  in_tick_ = false;
}

void Frm_Status::Follow_Download() {
  switch (download_->Current_Stage()) {
    case Stage::Image:
      return Send_Image();
    case Stage::Pause:
      // After the final answer and the check: "Complete" on show for the pause.
      if (!download_->Countdown_Started()) {
        const bool verified = download_->Checked() == Client::Download::Check_Outcome::Verified;
        Set_Status(verified ? kCompleteVerified : Text(Exchange::kComplete));
      }
      return;
    case Stage::Succeeded:
      Let_Pending_Events_Run();
      return End_Transfer();
    case Stage::Failed: {
      switch (download_->Failed_With()) {
        case Failure::Abandoned:
          return;
        case Failure::Image_Unreadable:
          return Report(File_Error(File_Name));
        case Failure::Sent_Count_Overflow:
          return Report(Runtime_Error(Common::kErrorOverflow, QStringLiteral("Overflow")));
        default:
          break;
      }
      // A stopped image's failure is on show already, unless the final wait
      // failed after it.
      QString reason = Text(download_->Reason());
      if (download_->Failed_With() == Failure::Cancelled) reason = kCancelled;
      if (!Error_Shown() || lbl_Status->text() != One_Line(Text(Exchange::kErrorPrefix) + reason)) Show_Error(reason);
      return End_Transfer();
    }
    default:
      return;  // a wait under way
  }
}

void Frm_Status::Send_Image() {
  Timer2->stop();
  cmd_Cancel->show();
  while (download_->Sending()) {
    if (cancelled_) download_->Cancel();
    const std::int64_t before = download_->Bytes_Sent();
    download_->Send_Next_Chunk();
    if (download_->Bytes_Sent() == before) break;  // stopped: cancelled, failed or unreadable
    const double percentage = download_->Percentage();
    Set_Status(Text(Exchange::Percent_Text(percentage)));
    progress_ = static_cast<float>(percentage);
    ProgressBar1->setValue(static_cast<int>(std::lround(progress_)));
    Let_Pending_Events_Run();
    if (!transfer_running_) return;  // closed meanwhile
  }
  cmd_Cancel->hide();
  // A stopped image shows its failure now; the final answer is still awaited.
  if (download_->Current_Stage() == Stage::Final_Answer) {
    if (download_->Failed_With() == Failure::Cancelled) {
      QString reason = kCancelled;
      Show_Error(reason);
    } else if (download_->Failed_With() == Failure::Chunk_Not_Written) {
      QString reason = Text(Exchange::kUnableToWrite);
      Show_Error(reason);
    }
    Timer2->start();
    return;
  }
  Follow_Download();
}

void Frm_Status::End_Transfer() {
  transfer_running_ = false;
  Timer2->stop();
  cmd_Cancel->hide();
  if (loaded_ && !Error_Shown()) Unload();
}

void Frm_Status::Report(const Runtime_Error &error) {
  transfer_running_ = false;
  Timer2->stop();
  if (download_) download_->Abandon();
  messages_->Show(this, error.Number_And_Description());
  // The window has no title bar: the OK button lets the user dismiss it.
  if (loaded_) Show_OK_Button();
}
