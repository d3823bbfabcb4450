#include "InfoPlist.h"

#include <QFile>
#include <QXmlStreamReader>

namespace InfoPlist {

QString topLevelString(const QString& path, QStringView wanted) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QXmlStreamReader plist(&file);
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
