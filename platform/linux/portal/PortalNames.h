#pragma once

#include <QString>

// The desktop portal's names on the session bus.
namespace Portal {
inline const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString path = QStringLiteral("/org/freedesktop/portal/desktop");
inline const QString requestPathPrefix = QStringLiteral("/org/freedesktop/portal/desktop/request");
inline const QString remoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
inline const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
inline const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");
// The backends that serve sessions with the desktop's own dialogs (kde, gnome, …).
inline const QString backendPrefix = QStringLiteral("org.freedesktop.impl.portal.desktop.");
} // namespace Portal
