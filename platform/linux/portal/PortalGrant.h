#pragma once

#include <QString>
#include <optional>

// What the user granted the last time, kept in the user's state directory
// ($XDG_STATE_HOME/Kelmo/helper-remote-desktop, mode 0600): the portal's restore token where it
// gives one, else only that access was granted, so that the next start can ask for a session
// without the user having to act again.
class PortalGrant {
public:
    // The file; empty when neither XDG_STATE_HOME nor HOME names a place for it.
    explicit PortalGrant(QString path = defaultPath());
    static QString defaultPath();

    // Whether the user granted access before, with or without a token.
    bool granted() const;
    std::optional<QString> restoreToken() const;
    // Remembers a grant, with the portal's token when it gave one. False when it can't be kept.
    bool remember(const QString& restoreToken);
    void forget();

private:
    QString read() const;

    QString path_;
};
