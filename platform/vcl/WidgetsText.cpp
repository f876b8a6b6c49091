// Text conversions between the components' byte strings and Qt's text.
#include <QStringDecoder>
#include <array>

#include "platform/vcl/WidgetsSupport.h"

namespace vcl::detail {
namespace {
// Windows-1252 from 0x80 to 0x9F; the other bytes are their Latin-1 code points. Unassigned ones
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) keep their C1 value, as Windows itself maps them.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

QString FromCp1252(const std::string& bytes) {
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (unsigned char c : bytes) {
        if (c >= 0x80 && c <= 0x9F)
            text.append(QChar(kCp1252High[c - 0x80]));
        else
            text.append(QChar(c));
    }
    return text;
}
}  // namespace

QString ToQString(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError()) return text;
    return FromCp1252(bytes);
}

std::string FromQString(const QString& text) { return text.toUtf8().toStdString(); }

}  // namespace vcl::detail
