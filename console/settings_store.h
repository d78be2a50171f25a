// The per-user settings store: text values addressed by application, section
// and key. The application is always "Tavrin"; section and key names are
// matched without regard to letter case, whatever spelling the store holds.
#pragma once

#include <QString>

#include <memory>

class QSettings;

class Settings_Store {
 public:
  // The user's own store of application "Tavrin" (an INI file in the user's
  // configuration directory).
  Settings_Store();
  // A store kept in `file`, for tests and tools.
  explicit Settings_Store(const QString &file);
  ~Settings_Store();
  Settings_Store(const Settings_Store &) = delete;
  Settings_Store &operator=(const Settings_Store &) = delete;

  // The value of section/key, or `default_value` when there is none.
  QString Get_Setting(const QString &section, const QString &key, const QString &default_value = QString()) const;
  // Stores the value at once. A section or key that exists under another
  // letter case keeps its stored spelling.
  void Save_Setting(const QString &section, const QString &key, const QString &value);

  // Where the store lives.
  QString File_Name() const;

 private:
  // The stored spelling of `section` (or `section` itself when absent).
  QString Stored_Section(const QString &section) const;
  // The stored spelling of `key` inside the stored section (or `key`).
  QString Stored_Key(const QString &stored_section, const QString &key) const;

  std::unique_ptr<QSettings> settings_;
};
