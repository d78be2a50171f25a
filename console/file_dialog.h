// The file-open dialog component (`CommonDialog1` of Frm_Main): a title, a
// file-type filter and the file name, kept from one display to the next and
// shared by the three "..." buttons of the download area. Every display goes
// through this seam, so that tests answer the dialog instead of a user.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

class File_Dialog {
 public:
  virtual ~File_Dialog() = default;

  // The dialog's title.
  QString DialogTitle;
  // The file-type filter: entries "description|pattern", joined by "|".
  QString Filter;
  // The full path of the file chosen last; the dialog opens at it.
  QString FileName;

  // Shows the file-open dialog modally. True when the user chose a file: its
  // full path is then in FileName. A cancelled dialog returns false and
  // leaves FileName as it was. Raises Common::Runtime_Error when the dialog
  // cannot be shown.
  virtual bool ShowOpen(QWidget *parent) = 0;
  // The same for a file to write (a log to save).
  virtual bool ShowSave(QWidget *parent) = 0;
};

// The toolkit's file-open dialog.
class Qt_File_Dialog final : public File_Dialog {
 public:
  bool ShowOpen(QWidget *parent) override;
  bool ShowSave(QWidget *parent) override;

  // The toolkit's name filters for a filter of entries "description|pattern":
  // each entry "description (patterns)", the pattern "*.*" (every file, as
  // the platform's dialogs read it) written "*".
  static QStringList Name_Filters(const QString &filter);

 private:
  bool Show(QWidget *parent, bool open);
};
