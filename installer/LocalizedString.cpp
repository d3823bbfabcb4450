#include "LocalizedString.h"

#include <QCoreApplication>
#include <QHash>
#include <QLocale>
#include <QTranslator>

QString localizedString(const char* key) {
    static QHash<QByteArray, QString> texts;
    const QByteArray id(key);
    auto known = texts.constFind(id);
    if (known == texts.constEnd())
        known = texts.insert(id, qtTrId(key));
    return *known;
}

void installTranslations(const QLocale& locale) {
    // Translators installed later are asked first: the user's language, then English for any
    // key that language lacks.
    auto* english = new QTranslator(QCoreApplication::instance());
    if (english->load(QStringLiteral(":/i18n/installer_en.qm")))
        QCoreApplication::installTranslator(english);
    auto* local = new QTranslator(QCoreApplication::instance());
    if (locale.language() != QLocale::English &&
        local->load(locale, QStringLiteral("installer"), QStringLiteral("_"),
                    QStringLiteral(":/i18n")))
        QCoreApplication::installTranslator(local);
}
