#include "BundleVersion.h"

#include <QList>
#include <algorithm>

namespace {
// The leading digits of each component; what follows them ("-beta") doesn't count.
QList<qulonglong> numbers(const QString& version) {
    QList<qulonglong> parts;
    for (const QStringView part : QStringView(version).split(u'.')) {
        qsizetype digits = 0;
        while (digits < part.size() && part[digits].isDigit() && part[digits].unicode() < 128)
            ++digits;
        parts << part.first(digits).toULongLong();
    }
    return parts;
}
} // namespace

bool isOlderBundleVersion(const QString& installed, const QString& carried) {
    if (carried.isEmpty())
        return false;
    if (installed.isEmpty())
        return true;
    const QList<qulonglong> old = numbers(installed);
    const QList<qulonglong> fresh = numbers(carried);
    for (qsizetype i = 0; i < std::max(old.size(), fresh.size()); ++i) {
        const qulonglong a = old.value(i), b = fresh.value(i);
        if (a != b)
            return a < b;
    }
    return false;
}
