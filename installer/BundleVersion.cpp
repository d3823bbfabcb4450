#include "BundleVersion.h"

#include <QList>
#include <algorithm>

namespace {
// The leading digits of each component, without leading zeros; what follows them ("-beta")
// doesn't count. Kept as digits: a number of any length compares right.
QList<QStringView> numbers(const QString& version) {
    QList<QStringView> parts;
    for (const QStringView part : QStringView(version).split(u'.')) {
        qsizetype digits = 0;
        while (digits < part.size() && part[digits].isDigit() && part[digits].unicode() < 128)
            ++digits;
        qsizetype zeros = 0;
        while (zeros < digits && part[zeros] == u'0')
            ++zeros;
        parts << part.sliced(zeros, digits - zeros);
    }
    return parts;
}

int compareNumbers(QStringView a, QStringView b) {
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}
} // namespace

bool isOlderBundleVersion(const QString& installed, const QString& carried) {
    if (carried.isEmpty())
        return false;
    if (installed.isEmpty())
        return true;
    const QList<QStringView> old = numbers(installed);
    const QList<QStringView> fresh = numbers(carried);
    for (qsizetype i = 0; i < std::max(old.size(), fresh.size()); ++i) {
        if (const int order = compareNumbers(old.value(i), fresh.value(i)))
            return order < 0;
    }
    return false;
}
