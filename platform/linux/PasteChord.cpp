#include "PasteChord.h"

#include <QStringList>

std::optional<PasteChord> PasteChord::parse(QStringView text) {
    PasteChord chord{false, false, false, Key::v};
    const auto parts = text.split(u'+');
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        const QStringView part = parts[i].trimmed();
        bool* modifier = nullptr;
        if (part.compare(u"control", Qt::CaseInsensitive) == 0 ||
            part.compare(u"ctrl", Qt::CaseInsensitive) == 0)
            modifier = &chord.control;
        else if (part.compare(u"shift", Qt::CaseInsensitive) == 0)
            modifier = &chord.shift;
        else if (part.compare(u"alt", Qt::CaseInsensitive) == 0)
            modifier = &chord.alt;
        if (!modifier || *modifier)
            return std::nullopt;
        *modifier = true;
    }
    const QStringView key = parts.last().trimmed();
    if (key.compare(u"v", Qt::CaseInsensitive) == 0)
        chord.key = Key::v;
    else if (key.compare(u"insert", Qt::CaseInsensitive) == 0)
        chord.key = Key::insert;
    else
        return std::nullopt;
    // V without Control types a letter (Shift+V a capital, Alt+V an escaped v in terminals);
    // Insert needs some modifier.
    if (chord.key == Key::v ? !chord.control : !chord.control && !chord.shift && !chord.alt)
        return std::nullopt;
    return chord;
}

QString PasteChord::text() const {
    QStringList parts;
    if (control)
        parts << QStringLiteral("Control");
    if (shift)
        parts << QStringLiteral("Shift");
    if (alt)
        parts << QStringLiteral("Alt");
    parts << (key == Key::v ? QStringLiteral("V") : QStringLiteral("Insert"));
    return parts.join(QLatin1Char('+'));
}
