// Frm_Main's command history: at most eleven distinct commands kept by
// additions, shown newest first in lst_Commands, kept in "ListBox.txt" (one
// entry per line, oldest first, every line ended by a carriage return and a
// line feed). The file is Latin-1, the system's 8-bit code page; a history
// holding a character Latin-1 lacks is written as UTF-8 behind a byte-order
// mark, so that it comes back as typed. History_Count is 16-bit: a file of
// more lines than it counts stops the load with "Overflow", and the loops
// count in full-width integers so that such a history never wraps them. The
// "Overflow" message, with what the user can do, shows once a run.
#include "frm_main.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <limits>

using Common::Runtime_Error;

namespace {

// Additions keep the entries with indexes 0 to this.
constexpr std::int16_t kLastKeptIndex = 10;

const QByteArray kUtf8Mark("\xEF\xBB\xBF");

QString Overflow_Text() {
  const int kept = std::numeric_limits<std::int16_t>::max() + 1;
  return QStringLiteral("Overflow: %1 holds %2 commands or more, the most the history can count, so new commands "
                        "are not added to it. To keep them, remove lines from the file (or delete it) and start "
                        "Pipe_Console again.")
      .arg(QDir::toNativeSeparators(Common::History_File_Path))
      .arg(kept);
}

// "<file>: <what went wrong>", so that a message names the file.
QString File_Problem(const QFile &file) {
  return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
}

// The lines of a history file. A carriage return plus line feed ends a line;
// so does a lone line feed or a lone carriage return, as hand-edited files
// have them. Text after the last line end is a last line.
QList<QByteArray> Lines(const QByteArray &contents) {
  QList<QByteArray> lines;
  qsizetype start = 0;
  qsizetype i = 0;
  while (i < contents.size()) {
    const char c = contents.at(i);
    if (c == '\r' || c == '\n') {
      lines.append(contents.mid(start, i - start));
      i += (c == '\r' && i + 1 < contents.size() && contents.at(i + 1) == '\n') ? 2 : 1;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < contents.size()) lines.append(contents.mid(start));
  return lines;
}

}  // namespace

QString Frm_Main::History_Location() const {
  const QString name = QStringLiteral("ListBox.txt");
  const QDir program(services_.Program_Directory);
  // A directory that is there but takes no new file (an installed program)
  // would refuse every save; each user then keeps a history of their own.
  // (A save deletes the file and creates it anew: the directory decides.)
  const bool writable =
      !program.exists() || QTemporaryFile(program.filePath(QStringLiteral("ListBox.XXXXXX"))).open();
  if (writable) return program.filePath(name);
  QString user = services_.User_Data_Directory;
  if (user.isEmpty()) {
    user = QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)).filePath(QStringLiteral("Tavrin"));
  }
  QDir().mkpath(user);
  return QDir(user).filePath(name);
}

void Frm_Main::Load_Command_History() {
  History_Count = -1;
  Command_History.clear();
  QFile file(Common::History_File_Path);
  if (file.exists()) {
    try {
      if (!file.open(QIODevice::ReadOnly)) throw Runtime_Error(Common::kErrorFileAccess, File_Problem(file));
      QByteArray contents = file.readAll();
      if (file.error() != QFileDevice::NoError) throw Runtime_Error(Common::kErrorFileAccess, File_Problem(file));
      const bool utf8 = contents.startsWith(kUtf8Mark);
      if (utf8) contents.remove(0, kUtf8Mark.size());
      for (const QByteArray &line : Lines(contents)) {
        if (History_Count == std::numeric_limits<std::int16_t>::max()) {
          throw Runtime_Error(Common::kErrorOverflow, Overflow_Text());
        }
        ++History_Count;
        Command_History.append(utf8 ? QString::fromUtf8(line) : QString::fromLatin1(line));
      }
    } catch (const Runtime_Error &error) {
      // The entries read so far stay; the list is not refilled.
      overflow_reported_ = error.Number() == Common::kErrorOverflow;
      Show_Message(error.Description());
      return;
    }
  }
  Show_Command_History();
}

void Frm_Main::Add_Command_To_History(const QString &command) {
  for (int i = 0; i <= History_Count; ++i) {
    if (Command_History.at(i) == command) return;
  }
  if (History_Count == kLastKeptIndex) {
    Command_History.removeFirst();  // every entry moves down one; the oldest goes
    Command_History.append(QString());
  } else {
    if (History_Count == std::numeric_limits<std::int16_t>::max()) {
      // Said once a run: every Send would say it again otherwise.
      if (!overflow_reported_) Show_Message(Overflow_Text());
      overflow_reported_ = true;
      return;
    }
    ++History_Count;
    Command_History.append(QString());
  }
  Command_History[History_Count] = command;
  Show_Command_History();
  Save_Command_History();
}

void Frm_Main::Show_Command_History() {
  lst_Commands->clear();
  recall_row_ = -1;
  for (int i = History_Count; i >= 0; --i) {
    if (!Command_History.at(i).isEmpty()) lst_Commands->addItem(Command_History.at(i));
  }
}

void Frm_Main::Save_Command_History() {
  QFile::remove(Common::History_File_Path);  // a failed deletion is no matter
  QFile file(Common::History_File_Path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    Show_Message(File_Problem(file));
    return;
  }
  bool latin1 = true;
  for (int i = 0; i <= History_Count && latin1; ++i) {
    for (const QChar c : Command_History.at(i)) latin1 = latin1 && c.unicode() <= 0xFF;
  }
  QByteArray contents = latin1 ? QByteArray() : kUtf8Mark;
  for (int i = 0; i <= History_Count; ++i) {
    contents += latin1 ? Command_History.at(i).toLatin1() : Command_History.at(i).toUtf8();
    contents += "\r\n";
  }
  if (file.write(contents) != contents.size() || !file.flush()) {
    Show_Message(File_Problem(file));
    return;
  }
  file.close();
}

void Frm_Main::lst_Commands_Click() {
  if (lst_Commands->count() == 0) return;
  const QList<QListWidgetItem *> selected = lst_Commands->selectedItems();
  if (selected.isEmpty()) return;
  txt_Command->setText(selected.first()->text());
}

void Frm_Main::lst_Commands_DblClick() {
  lst_Commands_Click();
  Cmd_Send_Click();
}
