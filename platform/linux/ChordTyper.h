#pragma once

#include "PasteChord.h"

#include <QString>
#include <QStringList>
#include <functional>

// A way of typing that takes a whole paste chord at a time and knows which application is
// active: the wlroots virtual keyboard, the GNOME Shell extension.
class ChordTyper {
public:
    using Typed = std::function<void(const QString& failure)>;
    // The chord for the application active as it is typed.
    using Chooser = std::function<PasteChord(const QStringList& activeApplication)>;

    ChordTyper() = default;
    ChordTyper(const ChordTyper&) = delete;
    ChordTyper& operator=(const ChordTyper&) = delete;
    virtual ~ChordTyper() = default;

    // Why no chord can be typed now, and what makes it possible; empty when one can.
    virtual QString whyNotReady() const = 0;
    // Types the chord `choose` gives for the application active then, once the chords before it
    // are typed; `typed` runs once it is, or with why it couldn't be.
    virtual void type(Chooser choose, Typed typed) = 0;
    // The process ends: chords not sent yet are dropped, and no `typed` runs any more.
    virtual void cancel() = 0;
};
