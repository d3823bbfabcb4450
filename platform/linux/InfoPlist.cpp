#include "InfoPlist.h"

#include "RegularFile.h"

#include <QXmlStreamReader>

namespace InfoPlist {
namespace {
// Real ones are about a kilobyte.
constexpr qint64 largestInfoPlist = 1024 * 1024;
} // namespace

QString topLevelString(const QString& path, QStringView wanted) {
    // An Info.plist lies in a folder the user may write: one that is no small regular file is
    // unreadable, rather than a wait for a writer that never comes.
    QString whyNot;
    const std::optional<QByteArray> content = RegularFile::read(path, largestInfoPlist, whyNot);
    if (!content)
        return {};
    QXmlStreamReader plist(*content);
    if (!plist.readNextStartElement() || plist.name() != u"plist" ||
        !plist.readNextStartElement() || plist.name() != u"dict")
        return {};
    QString key;
    while (plist.readNextStartElement()) {
        if (plist.name() == u"key") {
            key = plist.readElementText();
            continue;
        }
        if (key == wanted) {
            const QString value = plist.name() == u"string" ? plist.readElementText() : QString();
            return plist.hasError() ? QString() : value;
        }
        plist.skipCurrentElement();
        key.clear();
    }
    return {};
}

} // namespace InfoPlist
