// Module Common: call bridge, text helpers and channel helpers.
#include "common.h"

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

// Each byte of the string becomes one character.
QString From_Bytes(BSTR text) {
  if (text == nullptr) return QString();
  return QString::fromLatin1(reinterpret_cast<const char *>(text), static_cast<qsizetype>(SysStringByteLen(text)));
}

// A text argument passed by reference: a temporary 8-bit copy of the caller's
// variable, whose bytes the library sees as its string, copied back into the
// variable after the call.
class Text_Argument {
 public:
  explicit Text_Argument(QString &variable) : variable_(variable) {
    const QByteArray bytes = To_8_Bit(variable);
    copy_ = SysAllocStringByteLen(bytes.constData(), static_cast<UINT>(bytes.size()));
    if (copy_ == nullptr) throw Runtime_Error(7, QStringLiteral("Out of memory"));
  }
  ~Text_Argument() { SysFreeString(copy_); }
  Text_Argument(const Text_Argument &) = delete;
  Text_Argument &operator=(const Text_Argument &) = delete;

  BSTR *Pointer() { return &copy_; }
  void Copy_Back() { variable_ = From_Bytes(copy_); }

 private:
  QString &variable_;
  BSTR copy_ = nullptr;
};

// ---- Byte buffers ---------------------------------------------------------------

[[noreturn]] void Out_Of_Range() { throw Runtime_Error(kErrorSubscript, QStringLiteral("Subscript out of range")); }

// A zero-filled one-dimensional byte array with indexes 0 to count-1, owned
// by the caller and passed by reference (the library may replace it).
class Byte_Array {
 public:
  explicit Byte_Array(qsizetype count) {
    if (count <= 0) Out_Of_Range();
    array_ = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(count));
    if (array_ == nullptr) throw Runtime_Error(7, QStringLiteral("Out of memory"));
  }
  ~Byte_Array() {
    if (array_ != nullptr) SafeArrayDestroy(array_);
  }
  Byte_Array(const Byte_Array &) = delete;
  Byte_Array &operator=(const Byte_Array &) = delete;

  SAFEARRAY **Pointer() { return &array_; }

  // Access to the elements as the array stands now; an index outside its
  // bounds is a run-time error.
  class View {
   public:
    explicit View(SAFEARRAY *array) : array_(array) {
      if (array_ == nullptr || SafeArrayGetDim(array_) != 1 || SafeArrayGetElemsize(array_) != 1) return;
      LONG lower = 0, upper = -1;
      if (FAILED(SafeArrayGetLBound(array_, 1, &lower)) || FAILED(SafeArrayGetUBound(array_, 1, &upper))) return;
      void *data = nullptr;
      if (FAILED(SafeArrayAccessData(array_, &data))) return;
      data_ = static_cast<std::uint8_t *>(data);
      lower_ = lower;
      upper_ = upper;
    }
    ~View() {
      if (data_ != nullptr) SafeArrayUnaccessData(array_);
    }
    View(const View &) = delete;
    View &operator=(const View &) = delete;

    std::uint8_t &operator[](qsizetype index) {
      if (data_ == nullptr || index < lower_ || index > upper_) Out_Of_Range();
      return data_[index - lower_];
    }

   private:
    SAFEARRAY *array_;
    std::uint8_t *data_ = nullptr;
    qsizetype lower_ = 0;
    qsizetype upper_ = -1;
  };

  View Elements() { return View(array_); }

 private:
  SAFEARRAY *array_ = nullptr;
};

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
  Wait_Step = 0;
}

// ---- Bridge entries --------------------------------------------------------------

QString USB_Get_ALL_Available_DeviceName() {
  Text_Entry entry = Text_Result("USB_Get_ALL_Available_DeviceName");
  BSTR list = entry();
  QString text = From_Bytes(list);
  SysFreeString(list);
  return text;
}

QString USB_Get_First_DeviceName() {
  Text_Entry entry = Text_Result("USB_Get_First_DeviceName");
  BSTR name = entry();
  QString text = From_Bytes(name);
  SysFreeString(name);
  return text;
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
    Byte_Array buffer(n);  // an empty text has no buffer to send
    {
      Byte_Array::View bytes = buffer.Elements();
      for (qsizetype i = 1; i <= n; ++i) {
        if (i > kLongestWrite) throw Runtime_Error(kErrorOverflow, QStringLiteral("Overflow"));
        const char16_t code = text.at(i - 1).unicode();
        if (code > 0xFF) throw Runtime_Error(kErrorInvalidCall, QStringLiteral("Invalid procedure call or argument"));
        bytes[i - 1] = static_cast<std::uint8_t>(code);
      }
    }
    std::int32_t length = static_cast<std::int32_t>(n);
    Transfer_Entry write = Transfer("USB_Write");
    Text_Argument name(device);
    const std::int32_t written = write(name.Pointer(), buffer.Pointer(), &length);
    name.Copy_Back();
    if (written == 1) result = kTrue;
  } catch (const Runtime_Error &) {
    // The helper ends with its result as it stands.
  }
  Tell_Traffic(0, device, text, result == kTrue);
  return result;
}

Read_Result Read_Interrogative(QString &device) {
  constexpr qsizetype kBufferBytes = 65;
  constexpr std::int32_t kAskedBytes = 64;
  Read_Result result;
  try {
    Byte_Array buffer(kBufferBytes);
    std::int32_t length = kAskedBytes;
    Transfer_Entry read = Transfer("USB_Read_Interrogative");
    Text_Argument name(device);
    const std::int32_t count = read(name.Pointer(), buffer.Pointer(), &length);
    name.Copy_Back();
    if (count == 0) return result;
    // The zero-filled buffer ends the text after the received bytes; the
    // count itself is not looked at.
    QString text;
    Byte_Array::View bytes = buffer.Elements();
    for (qsizetype i = 0; i < kAskedBytes; ++i) {
      const std::uint8_t byte = bytes[i];
      if (byte == 0) break;
      text.append(QChar(static_cast<char16_t>(byte)));
    }
    result.Success = kTrue;
    result.Text = text;
  } catch (const Runtime_Error &) {
    // The record as built so far.
  }
  if (result.Success == kTrue) Tell_Traffic(1, device, result.Text, true);
  return result;
}

Read_Result Read_Formatted(QString &device) {
  constexpr qsizetype kBufferBytes = 32001;
  constexpr std::int32_t kAskedBytes = 32000;
  Read_Result result;
  try {
    for (;;) {
      Byte_Array buffer(kBufferBytes);
      std::int32_t length = kAskedBytes;
      Transfer_Entry read = Transfer("USB_Read_Formatted");
      Text_Argument name(device);
      const std::int32_t count = read(name.Pointer(), buffer.Pointer(), &length);
      name.Copy_Back();
      if (count == 0) break;
      QString round;
      Byte_Array::View bytes = buffer.Elements();
      for (qsizetype i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte == 0) break;
        round.append(QChar(static_cast<char16_t>(byte)));
      }
      result.Success = kTrue;
      result.Text += round;
    }
  } catch (const Runtime_Error &) {
    // The rounds completed so far stay in the record.
  }
  if (result.Success == kTrue && !result.Text.isEmpty()) Tell_Traffic(2, device, result.Text, true);
  return result;
}

}  // namespace Common
