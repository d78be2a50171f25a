// Module Common: the only code through which Pipe_Console moves data to and
// from an instrument. It holds the call bridge to the device-access library
// (bound by name on each entry's first call), the two text helpers that
// convert device names and lists between the application's text and the form
// the library exchanges, and the three channel helpers.
//
// Texts are QStrings whose characters stand for 8-bit codes (the system's
// 8-bit code page, Latin-1 on Linux). Booleans are 16-bit integers, -1 true
// and 0 false.
#pragma once

#include <QString>

#include <device_library.h>

#include <cstdint>
#include <functional>
#include <stdexcept>

namespace Common {

inline constexpr std::int16_t kTrue = -1;
inline constexpr std::int16_t kFalse = 0;

// Run-time error numbers the application raises.
inline constexpr int kErrorInvalidCall = 5;        // "Invalid procedure call or argument"
inline constexpr int kErrorOverflow = 6;           // "Overflow"
inline constexpr int kErrorSubscript = 9;          // "Subscript out of range"
inline constexpr int kErrorTypeMismatch = 13;      // "Type mismatch"
inline constexpr int kErrorLoadingLibrary = 48;    // "Error in loading DLL"
inline constexpr int kErrorFileNotFound = 53;      // "File not found"
inline constexpr int kErrorFileAccess = 75;        // "Path/File access error"
inline constexpr int kErrorInvalidProperty = 380;  // "Invalid property value"
inline constexpr int kErrorNoEntryPoint = 453;     // "Can't find DLL entry point"

// A run-time error: a number and its description. Operations that trap errors
// catch it; the others let it travel to their caller.
class Runtime_Error : public std::runtime_error {
 public:
  Runtime_Error(int number, const QString &description);
  int Number() const { return number_; }
  QString Description() const { return description_; }
  // "<number> <description>", as a message box reports an error by number.
  QString Number_And_Description() const;

 private:
  int number_;
  QString description_;
};

// The outcome of a read helper.
struct Read_Result {
  std::int16_t Success = kFalse;  // -1 when a read returned a non-zero count
  QString Text;                   // what was read; empty when nothing was
};

// ---- Text helpers ----------------------------------------------------------

// The text with every character of code 0 removed.
QString Strip_Nul(const QString &text);
// Each character of the text followed by one NUL character.
QString Pad_Nul(const QString &text);

// ---- Channel helpers -------------------------------------------------------
// `device` is the padded device name (Pad_Nul of the listed name). It crosses
// to the library by reference and is copied back after the call, as every
// text argument is.

// Sends the text's characters, one byte each, to the command channel; -1 only
// when USB_Write returned exactly 1. Traps every run-time error (returns 0).
std::int16_t Write_Text(const QString &text, QString &device);
// One read of the interrogative channel (64 bytes asked for).
Read_Result Read_Interrogative(QString &device);
// Reads the formatted channel until a read brings nothing.
Read_Result Read_Formatted(QString &device);

// ---- The download's way to the library -------------------------------------------
// The call bridge as the download's conversation (client/) reaches it: each
// transfer is told to the traffic observer as the channel helpers tell
// theirs, and a run-time error is trapped as they trap it (a write that did
// not go, a read that brought nothing, an empty list).
Client::Device_Library &Download_Library();

// ---- Traffic record ----------------------------------------------------------
// The channel helpers tell an observer, when one is set, of every transfer
// that moved bytes or failed to send them: the channel (0 command,
// 1 interrogative, 2 formatted), the device's name as listed, the text (one
// character per byte) and whether it went. Empty polls are not told.
using Traffic_Observer = std::function<void(int channel, const QString &device, const QString &text, bool ok)>;
void Set_Traffic_Observer(Traffic_Observer observer);

// ---- Application-wide state -------------------------------------------------

// The command history file (set by start-up, used by the history list).
inline QString History_File_Path;
// The Text of the last successful read of each reply channel.
inline QString Last_Interrogative_Reply;
inline QString Last_Formatted_Reply;

// Puts the application-wide state back to its values at program start.
void Reset_Application_State();

// ---- Call bridge -----------------------------------------------------------
// Declared entry points of the device-access library. Each raises
// Runtime_Error when the library cannot be loaded or lacks the entry.

// Every present instrument's name, each followed by a carriage return and a
// line feed, as the library's text arrives: each byte one character.
QString USB_Get_ALL_Available_DeviceName();
QString USB_Get_First_DeviceName();

// The library file the bridge loads: "libTavrin_570x_Driver.so", looked for in
// the program's own directory first, then along the default search.
inline constexpr const char *kLibraryFile = "libTavrin_570x_Driver.so";

// Points the bridge at another library file (a file name, or a path that is
// then the only place looked at); an empty text restores the default. The
// entries bound so far are forgotten, so each is bound again on its next call.
// A library once loaded stays loaded.
void Set_Library_File(const QString &file);

}  // namespace Common
