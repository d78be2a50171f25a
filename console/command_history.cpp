// Frm_Main's command history: at most eleven distinct commands kept by
// additions, shown newest first in lst_Commands, kept in "ListBox.txt" beside
// the program (one entry per line, oldest first, Latin-1, every line ended by
// a carriage return and a line feed).
#include "frm_main.h"

#include <QFile>
#include <QLineEdit>
#include <QListWidget>

#include <limits>

using Common::Runtime_Error;

namespace {

// Additions keep the entries with indexes 0 to this.
constexpr std::int16_t kLastKeptIndex = 10;

[[noreturn]] void Overflow() { throw Runtime_Error(Common::kErrorOverflow, QStringLiteral("Overflow")); }

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

void Frm_Main::Load_Command_History() {
  History_Count = -1;
  Command_History.clear();
  QFile file(Common::History_File_Path);
  if (file.exists()) {
    try {
      if (!file.open(QIODevice::ReadOnly)) throw Runtime_Error(Common::kErrorFileAccess, file.errorString());
      const QByteArray contents = file.readAll();
      if (file.error() != QFileDevice::NoError) throw Runtime_Error(Common::kErrorFileAccess, file.errorString());
      for (const QByteArray &line : Lines(contents)) {
        if (History_Count == std::numeric_limits<std::int16_t>::max()) Overflow();
        ++History_Count;
        Command_History.append(QString::fromLatin1(line));
      }
    } catch (const Runtime_Error &error) {
      // The entries read so far stay; the list is not refilled.
      Show_Message(error.Description());
      return;
    }
  }
  Show_Command_History();
}

void Frm_Main::Add_Command_To_History(const QString &command) {
  for (std::int16_t i = 0; i <= History_Count; ++i) {
    if (Command_History.at(i) == command) return;
  }
  if (History_Count == kLastKeptIndex) {
    Command_History.removeFirst();  // every entry moves down one; the oldest goes
    Command_History.append(QString());
  } else {
    if (History_Count == std::numeric_limits<std::int16_t>::max()) {
      Show_Message(QStringLiteral("Overflow"));
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
  for (std::int16_t i = History_Count; i >= 0; --i) {
    if (!Command_History.at(i).isEmpty()) lst_Commands->addItem(Command_History.at(i));
  }
}

void Frm_Main::Save_Command_History() {
  QFile::remove(Common::History_File_Path);  // a failed deletion is no matter
  QFile file(Common::History_File_Path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    Show_Message(file.errorString());
    return;
  }
  QByteArray contents;
  for (std::int16_t i = 0; i <= History_Count; ++i) {
    // Characters without a Latin-1 code are written as "?".
    contents += Command_History.at(i).toLatin1();
    contents += "\r\n";
  }
  if (file.write(contents) != contents.size() || !file.flush()) {
    Show_Message(file.errorString());
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
