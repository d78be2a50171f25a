// Message boxes of Pipe_Console: a text, one OK button and the application's
// title "Pipe_Console". Every message goes through this seam, so that tests
// can record messages instead of waiting for a click.
#pragma once

#include <QString>

class QWidget;

class Message_Box {
 public:
  virtual ~Message_Box() = default;
  // Shows `text` and returns once the user has confirmed it.
  virtual void Show(QWidget *parent, const QString &text) = 0;
};

// The real message box: modal, title "Pipe_Console", one OK button.
class Qt_Message_Box final : public Message_Box {
 public:
  void Show(QWidget *parent, const QString &text) override;
};

inline constexpr const char *kApplicationTitle = "Pipe_Console";
