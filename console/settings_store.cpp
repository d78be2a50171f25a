// The settings store over QSettings, with names matched without regard to case.
#include "settings_store.h"

#include <QSettings>
#include <QStringList>

namespace {

constexpr const char *kApplication = "Tavrin";

QString Find_Ignoring_Case(const QStringList &names, const QString &wanted) {
  for (const QString &name : names) {
    if (name.compare(wanted, Qt::CaseInsensitive) == 0) return name;
  }
  return QString();
}

}  // namespace

Settings_Store::Settings_Store()
    : settings_(std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, QString::fromLatin1(kApplication),
                                            QString::fromLatin1(kApplication))) {}

Settings_Store::Settings_Store(const QString &file) : settings_(std::make_unique<QSettings>(file, QSettings::IniFormat)) {}

Settings_Store::~Settings_Store() = default;

QString Settings_Store::File_Name() const { return settings_->fileName(); }

QString Settings_Store::Stored_Section(const QString &section) const {
  const QString stored = Find_Ignoring_Case(settings_->childGroups(), section);
  return stored.isEmpty() ? section : stored;
}

QString Settings_Store::Stored_Key(const QString &stored_section, const QString &key) const {
  settings_->beginGroup(stored_section);
  const QString stored = Find_Ignoring_Case(settings_->childKeys(), key);
  settings_->endGroup();
  return stored.isEmpty() ? key : stored;
}

QString Settings_Store::Get_Setting(const QString &section, const QString &key, const QString &default_value) const {
  const QString stored_section = Stored_Section(section);
  const QString path = stored_section + QLatin1Char('/') + Stored_Key(stored_section, key);
  if (!settings_->contains(path)) return default_value;
  const QVariant value = settings_->value(path);
  // An unquoted value with commas in a hand-edited file reads as a list.
  if (value.typeId() == QMetaType::QStringList) return value.toStringList().join(QLatin1Char(','));
  return value.toString();
}

void Settings_Store::Save_Setting(const QString &section, const QString &key, const QString &value) {
  const QString stored_section = Stored_Section(section);
  settings_->setValue(stored_section + QLatin1Char('/') + Stored_Key(stored_section, key), value);
  settings_->sync();
}
