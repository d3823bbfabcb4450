#pragma once

#include <QString>

class QLocale;

// The installer's texts by key ("STEP1.TITLE" …). Each key is looked up once, on its first use,
// and kept for the rest of the run; a key without a text shows the key itself.
QString localizedString(const char* key);

// Loads the compiled-in texts: English underneath, the language of `locale` on top of it.
void installTranslations(const QLocale& locale);
