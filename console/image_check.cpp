#include "image_check.h"

#include <QStringList>

#include <zlib.h>

namespace Image_Check {

void Crc32::Add(const QByteArray &bytes) {
  crc_ = static_cast<std::uint32_t>(
      crc32_z(crc_, reinterpret_cast<const Bytef *>(bytes.constData()), static_cast<z_size_t>(bytes.size())));
  size_ += bytes.size();
}

std::optional<Image_Summary> Entry(const QString &answer, const QString &type_name) {
  QString line = answer;
  while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r'))) line.chop(1);
  for (const QString &entry : line.split(QLatin1Char(','))) {
    const QStringList fields = entry.trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (fields.size() != 3 || fields[0].compare(type_name, Qt::CaseInsensitive) != 0) continue;
    bool size_ok = false;
    bool crc_ok = false;
    const qint64 size = fields[1].toLongLong(&size_ok, 10);
    const std::uint32_t crc = fields[2].toUInt(&crc_ok, 16);
    if (!size_ok || !crc_ok || size < 0) return std::nullopt;
    return Image_Summary{size, crc};
  }
  return std::nullopt;
}

QString Type_Named_In(const QString &command_line) {
  const QStringList fields = command_line.split(QLatin1Char(','));
  return fields.size() >= 2 ? fields[1].trimmed() : QString();
}

namespace {
QString Described(const Image_Summary &image) {
  const QString crc = QString::number(image.Crc32, 16).rightJustified(8, QLatin1Char('0')).toUpper();
  return QStringLiteral("%1 bytes (CRC-32 %2)").arg(image.Size).arg(crc);
}
}  // namespace

QString Mismatch_Text(const Image_Summary &sent, const Image_Summary &held) {
  return QStringLiteral("Image check failed: sent %1, the instrument holds %2").arg(Described(sent), Described(held));
}

}  // namespace Image_Check
