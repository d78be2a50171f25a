#include "test_support.h"

#include "frm_status.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QSettings>
#include <QTest>

#include <dlfcn.h>

#include <chrono>

void Use_Real_Library() { Common::Set_Library_File(QString()); }

QString Beside_Program(const char *file) {
  return QDir(QCoreApplication::applicationDirPath()).filePath(QString::fromLatin1(file));
}

Test_Driver_State &Use_Test_Driver() {
  const QString path = Beside_Program(kTestDriverFile);
  // The bridge opens the same file and so gets the same library.
  void *library = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) qFatal("cannot load %s: %s", qPrintable(path), dlerror());
  auto entry = reinterpret_cast<Test_Driver_Entry>(dlsym(library, "Test_Driver"));
  if (entry == nullptr) qFatal("%s lacks Test_Driver", qPrintable(path));
  Test_Driver_State &state = *entry();
  state = Test_Driver_State{};
  Common::Set_Library_File(path);
  return state;
}

bool Scripted_File_Dialog::ShowOpen(QWidget *) {
  Displays.push_back({DialogTitle, Filter, FileName});
  const QString answer = Answers.isEmpty() ? QString() : Answers.takeFirst();
  if (answer == kFails) throw Common::Runtime_Error(32755, QStringLiteral("Dialog failed"));
  if (answer.isEmpty()) return false;
  FileName = answer;
  return true;
}

Console::Console()
    : settings_(std::make_unique<Settings_Store>(QDir(directory_.path()).filePath(QStringLiteral("Tavrin.ini")))) {}

Console::~Console() = default;

Frm_Main &Console::Start(bool load) {
  form_.reset();
  Common::Reset_Application_State();
  Frm_Main_Services services;
  services.Messages = &Messages;
  services.Settings = settings_.get();
  services.Program_Directory = program_directory_.isEmpty() ? directory_.path() : program_directory_;
  services.Ticks_By_Caller = ticks_by_caller_;
  services.User_Data_Directory = User_Data_Directory();
  services.Dialog = &Dialog;
  form_ = std::make_unique<Frm_Main>(services);
  form_->frm_Status->Set_Timer_Intervals(1, 5);
  QObject::connect(form_.get(), &Frm_Main::Program_Ended, [this](int code) { Ended_Codes.push_back(code); });
  if (load) form_->Form_Load();
  return *form_;
}

Frm_Main &Console::Start_With_Timer() {
  ticks_by_caller_ = false;
  Frm_Main &form = Start();
  ticks_by_caller_ = true;
  return form;
}

Frm_Main &Console::Start_Shown() {
  Frm_Main &form = Start();
  form.show();
  if (!QTest::qWaitForWindowExposed(&form)) qWarning("the main window was not exposed");
  return form;
}

QString Console::History_File() const {
  return QDir(program_directory_.isEmpty() ? directory_.path() : program_directory_).filePath(QStringLiteral("ListBox.txt"));
}

QString Console::User_Data_Directory() const {
  return user_data_directory_.isEmpty() ? QDir(directory_.path()).filePath(QStringLiteral("user")) : user_data_directory_;
}

QString Console::Stored(const QString &path) const {
  QSettings raw(settings_->File_Name(), QSettings::IniFormat);
  return raw.value(path).toString();
}

Instruments::Instruments(int count) {
  for (int i = 0; i < count; ++i) {
    usb::InstrumentConfig config;
    config.serialNumber = "TVR0000" + std::to_string(i);
    auto model = std::make_shared<usb::SubstituteInstrument>(config);
    models_.push_back(model);
    ids_.push_back(host::Attach(model));
    plugged_.push_back(true);
  }
  host::WaitForPnp();
}

Instruments::~Instruments() {
  for (std::size_t i = 0; i < ids_.size(); ++i) Unplug(i);
}

void Instruments::Unplug(std::size_t i) {
  if (!plugged_.at(i)) return;
  plugged_[i] = false;
  host::Detach(ids_[i]);
  host::WaitUntilPresent(ids_[i], false, std::chrono::seconds(20));
  host::WaitForPnp();
}

QStringList Rows(const QListWidget *list) {
  QStringList rows;
  for (int i = 0; i < list->count(); ++i) rows.append(list->item(i)->text());
  return rows;
}

QByteArray File_Bytes(const QString &path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return QByteArray();
  return file.readAll();
}

bool Save_File(const QString &path, const QByteArray &bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() && file.flush();
}
