// Module Common: call bridge, text helpers and channel helpers.
#include "common.h"

#include <library_calls.h>
#include <oleauto.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dlfcn.h>

#include <map>
#include <string>

namespace Common {

Runtime_Error::Runtime_Error(int number, const QString &description)
    : std::runtime_error(description.toStdString()), number_(number), description_(description) {}

QString Runtime_Error::Number_And_Description() const {
  return QString::number(number_) + QLatin1Char(' ') + description_;
}

namespace {

// ---- Loading the library and binding its entries ----------------------------

struct Bridge {
  QString file;                          // empty: kLibraryFile
  void *handle = nullptr;                // the library, once loaded
  std::map<std::string, void *> entries;  // entries bound so far
};

Bridge &The_Bridge() {
  static Bridge bridge;
  return bridge;
}

QString Library_File() {
  const Bridge &bridge = The_Bridge();
  return bridge.file.isEmpty() ? QString::fromLatin1(kLibraryFile) : bridge.file;
}

void *Open(const QString &path) {
  const QByteArray native = QFile::encodeName(path);
  return dlopen(native.constData(), RTLD_NOW | RTLD_LOCAL);
}

// Loads the library on the first call that needs it; a failed load is tried
// again by the next call.
void *Library() {
  Bridge &bridge = The_Bridge();
  if (bridge.handle != nullptr) return bridge.handle;

  const QString file = Library_File();
  bool present_but_failed = false;
  if (file.contains(QLatin1Char('/'))) {
    // A path names the one place to look.
    if (QFileInfo::exists(file)) {
      bridge.handle = Open(file);
      present_but_failed = bridge.handle == nullptr;
    }
  } else {
    // The program's own directory first, then the default search.
    if (QCoreApplication::instance() != nullptr) {
      const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(file);
      if (QFileInfo::exists(beside)) {
        bridge.handle = Open(beside);
        present_but_failed = bridge.handle == nullptr;
      }
    }
    if (bridge.handle == nullptr) {
      bridge.handle = Open(file);
      if (bridge.handle == nullptr) {
        const char *reason = dlerror();
        // Anything but "not found" means the file was found and refused.
        if (reason != nullptr && std::string(reason).find("No such file") == std::string::npos) {
          present_but_failed = true;
        }
      }
    }
  }
  if (bridge.handle != nullptr) return bridge.handle;
  if (present_but_failed) throw Runtime_Error(kErrorLoadingLibrary, QStringLiteral("Error in loading DLL"));
  throw Runtime_Error(kErrorFileNotFound, QStringLiteral("File not found: ") + file);
}

// Binds `name` on its first call.
void *Entry(const char *name) {
  Bridge &bridge = The_Bridge();
  auto found = bridge.entries.find(name);
  if (found != bridge.entries.end()) return found->second;
  void *library = Library();
  dlerror();
  void *address = dlsym(library, name);
  if (address == nullptr) {
    throw Runtime_Error(kErrorNoEntryPoint, QStringLiteral("Can't find DLL entry point ") + QLatin1String(name) +
                                                QStringLiteral(" in ") + Library_File());
  }
  bridge.entries.emplace(name, address);
  return address;
}

using Transfer_Entry = int32_t (*)(BSTR *, SAFEARRAY **, int32_t *);
using Text_Entry = BSTR (*)();

Transfer_Entry Transfer(const char *name) { return reinterpret_cast<Transfer_Entry>(Entry(name)); }
Text_Entry Text_Result(const char *name) { return reinterpret_cast<Text_Entry>(Entry(name)); }

// ---- Crossing texts -----------------------------------------------------------

// One byte per character; a character without an 8-bit code is an error.
QByteArray To_8_Bit(const QString &text) {
  QByteArray bytes(text.size(), Qt::Uninitialized);
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t code = text.at(i).unicode();
    if (code > 0xFF) throw Runtime_Error(kErrorInvalidCall, QStringLiteral("Invalid procedure call or argument"));
    bytes[i] = static_cast<char>(code);
  }
  return bytes;
}

QString Latin1(const std::string &bytes) { return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size())); }

// A text argument passed by reference: a temporary 8-bit copy of the caller's
// variable, whose bytes the library sees as its string, copied back into the
// variable after the call.
class Text_Argument {
 public:
  explicit Text_Argument(QString &variable) : variable_(variable) {
    const QByteArray bytes = To_8_Bit(variable);
    copy_ = Client::Library_Text::Of_Bytes(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  }
  Client::Library_Text &Text() { return copy_; }
  void Copy_Back() { variable_ = Latin1(copy_.Bytes()); }

 private:
  QString &variable_;
  Client::Library_Text copy_;
};

[[noreturn]] void Out_Of_Range() { throw Runtime_Error(kErrorSubscript, QStringLiteral("Subscript out of range")); }

// The library's exports through the call bridge: each entry is bound on its
// first call, and raises Runtime_Error when it cannot be.
class Bridge_Library final : public Client::Device_Library {
 public:
  std::int32_t Write(BSTR *name, SAFEARRAY **buffer, std::int32_t *length) override {
    return Transfer("USB_Write")(name, buffer, length);
  }
  std::int32_t Read(Client::Channel channel, BSTR *name, SAFEARRAY **buffer, std::int32_t *length) override {
    const char *entry = channel == Client::Channel::Interrogative ? "USB_Read_Interrogative" : "USB_Read_Formatted";
    return Transfer(entry)(name, buffer, length);
  }
  BSTR All_Device_Names() override { return Text_Result("USB_Get_ALL_Available_DeviceName")(); }
  BSTR First_Device_Name() override { return Text_Result("USB_Get_First_DeviceName")(); }
};

Bridge_Library &The_Library() {
  static Bridge_Library library;
  return library;
}

// The longest text Write_Text counts through: its character index is a
// 16-bit integer.
constexpr qsizetype kLongestWrite = 32767;

}  // namespace

static Traffic_Observer &The_Traffic_Observer() {
  static Traffic_Observer observer;
  return observer;
}

static void Tell_Traffic(int channel, const QString &device, const QString &text, bool ok) {
  if (const Traffic_Observer &observer = The_Traffic_Observer()) {
    QString name = device;
    name.remove(QChar(u'\0'));
    observer(channel, name, text, ok);
  }
}

// ---- The download's way to the library -------------------------------------------

namespace {

// The bytes of an array the library was given, from index 0.
std::string Array_Bytes(SAFEARRAY *array, std::int32_t count) {
  if (array == nullptr || count <= 0) return {};
  try {
    LONG upper = -1;
    if (FAILED(SafeArrayGetUBound(array, 1, &upper))) return {};
    const std::size_t available = static_cast<std::size_t>(upper + 1);
    void *data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return {};
    std::string bytes(static_cast<const char *>(data), std::min(available, static_cast<std::size_t>(count)));
    SafeArrayUnaccessData(array);
    return bytes;
  } catch (const std::bad_alloc &) {
    return {};
  }
}

// A device name as the library received it, one character per UTF-16 unit.
QString Name_Of(BSTR *name) {
  QString text;
  if (name == nullptr || *name == nullptr) return text;
  for (UINT i = 0; i < SysStringLen(*name); ++i) text.append(QChar(static_cast<char16_t>((*name)[i])));
  return text;
}

// The bridge as the download reaches it: a run-time error is trapped as
// the channel helpers trap theirs, and the traffic is told as they tell it.
class Download_Bridge final : public Client::Device_Library {
 public:
  std::int32_t Write(BSTR *name, SAFEARRAY **buffer, std::int32_t *length) override {
    const QString text = Latin1(Array_Bytes(*buffer, *length));
    std::int32_t written = 0;
    try {
      written = The_Library().Write(name, buffer, length);
    } catch (const Runtime_Error &) {
    }
    Tell_Traffic(0, Name_Of(name), text, written == 1);
    return written;
  }
  std::int32_t Read(Client::Channel channel, BSTR *name, SAFEARRAY **buffer, std::int32_t *length) override {
    const std::int32_t asked = *length;
    std::int32_t count = 0;
    try {
      count = The_Library().Read(channel, name, buffer, length);
    } catch (const Runtime_Error &) {
      return 0;
    }
    if (count != 0) {
      const std::string bytes = Array_Bytes(*buffer, asked);
      Tell_Traffic(static_cast<int>(channel), Name_Of(name), Latin1(bytes.substr(0, bytes.find('\0'))), true);
    }
    return count;
  }
  BSTR All_Device_Names() override {
    try {
      return The_Library().All_Device_Names();
    } catch (const Runtime_Error &) {
      return nullptr;  // no library: nothing is listed
    }
  }
  BSTR First_Device_Name() override {
    try {
      return The_Library().First_Device_Name();
    } catch (const Runtime_Error &) {
      return nullptr;
    }
  }
};

}  // namespace

Client::Device_Library &Download_Library() {
  static Download_Bridge library;
  return library;
}

// ---- Text helpers --------------------------------------------------------------

QString Strip_Nul(const QString &text) {
  QString result;
  result.reserve(text.size());
  for (QChar c : text) {
    if (c.unicode() != 0) result.append(c);
  }
  return result;
}

QString Pad_Nul(const QString &text) {
  QString result;
  result.reserve(text.size() * 2);
  for (QChar c : text) {
    result.append(c);
    result.append(QChar(u'\0'));
  }
  return result;
}

void Reset_Application_State() {
  History_File_Path.clear();
  Last_Interrogative_Reply.clear();
  Last_Formatted_Reply.clear();
}

// ---- Bridge entries --------------------------------------------------------------

// Each byte of a text result becomes one character.
QString USB_Get_ALL_Available_DeviceName() {
  return Latin1(Client::Library_Text::Adopt(The_Library().All_Device_Names()).Bytes());
}

QString USB_Get_First_DeviceName() {
  return Latin1(Client::Library_Text::Adopt(The_Library().First_Device_Name()).Bytes());
}

void Set_Traffic_Observer(Traffic_Observer observer) { The_Traffic_Observer() = std::move(observer); }

void Set_Library_File(const QString &file) {
  Bridge &bridge = The_Bridge();
  bridge.file = file;
  bridge.handle = nullptr;
  bridge.entries.clear();
}

// ---- Channel helpers ------------------------------------------------------------

std::int16_t Write_Text(const QString &text, QString &device) {
  std::int16_t result = kFalse;
  try {
    const qsizetype n = text.size();
    if (n == 0) Out_Of_Range();  // an empty text has no buffer to send
    QByteArray bytes(n, Qt::Uninitialized);
    for (qsizetype i = 1; i <= n; ++i) {
      if (i > kLongestWrite) throw Runtime_Error(kErrorOverflow, QStringLiteral("Overflow"));
      const char16_t code = text.at(i - 1).unicode();
      if (code > 0xFF) throw Runtime_Error(kErrorInvalidCall, QStringLiteral("Invalid procedure call or argument"));
      bytes[i - 1] = static_cast<char>(code);
    }
    Text_Argument name(device);
    const std::int32_t written =
        Client::Write_Call(The_Library(), name.Text(), std::string_view(bytes.constData(), static_cast<std::size_t>(n)));
    name.Copy_Back();
    if (written == 1) result = kTrue;
  } catch (const Runtime_Error &) {
    // The helper ends with its result as it stands.
  } catch (const Client::Bounds_Error &) {
  }
  Tell_Traffic(0, device, text, result == kTrue);
  return result;
}

// The text in a reply buffer: its bytes up to the first zero byte.
static QString Text_Until_Zero(const std::string &bytes, std::size_t limit) {
  const std::size_t end = std::min(bytes.find('\0'), std::min(limit, bytes.size()));
  return Latin1(bytes.substr(0, end));
}

Read_Result Read_Interrogative(QString &device) {
  constexpr std::size_t kBufferBytes = 65;
  constexpr std::int32_t kAskedBytes = 64;
  Read_Result result;
  try {
    Text_Argument name(device);
    const Client::Read_Call_Result read =
        Client::Read_Call(The_Library(), name.Text(), Client::Channel::Interrogative, kBufferBytes, kAskedBytes);
    name.Copy_Back();
    if (read.count == 0) return result;
    // The zero-filled buffer ends the text after the received bytes; the
    // count itself is not looked at.
    result.Text = Text_Until_Zero(read.bytes, kAskedBytes);
    result.Success = kTrue;
  } catch (const Runtime_Error &) {
    // The record as built so far.
  } catch (const Client::Bounds_Error &) {
  }
  if (result.Success == kTrue) Tell_Traffic(1, device, result.Text, true);
  return result;
}

Read_Result Read_Formatted(QString &device) {
  constexpr std::size_t kBufferBytes = 32001;
  constexpr std::int32_t kAskedBytes = 32000;
  Read_Result result;
  try {
    for (;;) {
      Text_Argument name(device);
      const Client::Read_Call_Result read =
          Client::Read_Call(The_Library(), name.Text(), Client::Channel::Formatted, kBufferBytes, kAskedBytes);
      name.Copy_Back();
      if (read.count == 0) break;
      if (read.count < 0 || static_cast<std::size_t>(read.count) > kBufferBytes) Out_Of_Range();
      result.Success = kTrue;
      result.Text += Text_Until_Zero(read.bytes, static_cast<std::size_t>(read.count));
    }
  } catch (const Runtime_Error &) {
    // The rounds completed so far stay in the record.
  } catch (const Client::Bounds_Error &) {
  }
  if (result.Success == kTrue && !result.Text.isEmpty()) Tell_Traffic(2, device, result.Text, true);
  return result;
}

}  // namespace Common
