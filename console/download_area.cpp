// Frm_Main's download area: the firmware file selection ("..." buttons over
// CommonDialog1) and the download start (Cmd_Send_File), which hands the
// download to the status window frm_Status and shows it modally.
#include "frm_main.h"

#include "file_dialog.h"
#include "frm_status.h"
#include "settings_store.h"

#include <download_exchange.h>

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>

using Common::kFalse;
using Common::kTrue;
using Common::Runtime_Error;
namespace Exchange = Download_Exchange;

namespace {

const QString kFileNameSection = QStringLiteral("FileName");

QString Text(std::string_view bytes) { return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size())); }

}  // namespace

// ---- File selection --------------------------------------------------------------------

QString Frm_Main::Get_File_Name() {
  // A failing dialog returns what the routine holds: no file.
  QString result;
  try {
    CommonDialog1->DialogTitle = QStringLiteral("Select File Location");
    CommonDialog1->Filter = QStringLiteral(" *.*| *.*");
    if (CommonDialog1->ShowOpen(this)) result = CommonDialog1->FileName;
  } catch (const Runtime_Error &) {
  }
  return result;
}

void Frm_Main::Choose_File(QLineEdit *box, const QString &key) {
  // Each image type's dialog opens where that type's file was last chosen.
  const QString last = settings_->Get_Setting(kFileNameSection, key);
  if (!last.isEmpty()) CommonDialog1->FileName = last;
  const QString chosen = Get_File_Name();
  // No file chosen: the box and the stored path stay as they are.
  if (chosen.isEmpty()) return;
  box->setText(chosen);
  settings_->Save_Setting(kFileNameSection, key, box->text());
}

void Frm_Main::Cmd_Get_IP_File_Name_Click() { Choose_File(txt_IP_Firmware_Location, QStringLiteral("IP")); }

void Frm_Main::Cmd_DSP_Get_File_Name_Click() { Choose_File(txt_DSP_Firmware_Location, QStringLiteral("DSP")); }

void Frm_Main::Cmd_FPGA_Get_File_Name_Click() { Choose_File(txt_FPGA_Firmware_Location, QStringLiteral("FPGA")); }

// ---- Download start ----------------------------------------------------------------------

void Frm_Main::Cmd_Send_File_Click() {
  Timer1->stop();
  // Polling runs again on every way out of the click.
  struct Restart_Polling {
    Frm_Main *form;
    ~Restart_Polling() {
      if (!form->ended_) form->Timer1->start();
    }
  } restart_polling{this};

  try {
    const QString row = Selected_Device();
    if (row.isEmpty() || row == kNoDevices) {
      Set_Connected(kFalse);
      Report(QStringLiteral("Download not started: ") + No_Instrument_Reason());
      return;
    }
    const QString device = Common::Pad_Nul(row);

    int type = 0;
    for (int i = 0; i < Exchange::kImageTypeCount; ++i) {
      if (Opt_File_Type[static_cast<std::size_t>(i)]->isChecked()) {
        type = i;
        break;
      }
    }
    QString reset_word;
    if (After_Download_Opt[0]->isChecked()) {
      reset_word = Text(Exchange::Reset_Word(true));
    } else if (After_Download_Opt[1]->isChecked()) {
      reset_word = Text(Exchange::Reset_Word(false));
    }
    const QLineEdit *locations[] = {txt_IP_Firmware_Location, txt_DSP_Firmware_Location, txt_FPGA_Firmware_Location};
    const QString path = locations[type]->text();
    const QString command_word = Text(Exchange::Command_Word(static_cast<Exchange::Image_Type>(type)));

    // Ordinary files only: not a directory, not a missing file.
    if (!QFileInfo(path).isFile()) {
      Report(Text(Exchange::kUnableToLocate) + path);
      return;
    }
    const QFileInfo file(path);  // looked at afresh: it may have gone since
    if (!file.exists()) throw Runtime_Error(Common::kErrorFileNotFound, QStringLiteral("File not found"));
    if (file.size() == 0) {
      // An instrument given no image byte keeps its image; say why nothing went.
      Report(QStringLiteral("Download not started: %1 is empty").arg(QDir::toNativeSeparators(path)));
    } else {
      Enable_Send_Buttons(kFalse);
      frm_Status->Set_Command_String(Text(Exchange::Command_Line(command_word.toStdString(), reset_word.toStdString())));
      frm_Status->Set_File_Name(path);
      frm_Status->Set_Device_Name(device);
      frm_Status->exec();  // the whole download happens in here
      Enable_Send_Buttons(kTrue);
    }
  } catch (const Runtime_Error &error) {
    Show_Message(error.Number_And_Description());
  }
}
