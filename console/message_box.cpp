#include "message_box.h"

#include <QMessageBox>

void Qt_Message_Box::Show(QWidget *parent, const QString &text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kApplicationTitle), text, QMessageBox::Ok, parent);
  // A message looks like the window it speaks for (windows do not inherit
  // their parent's look by themselves).
  if (parent != nullptr) {
    box.setPalette(parent->window()->palette());
    box.setFont(parent->window()->font());
  }
  box.exec();
}
