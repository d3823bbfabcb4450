#pragma once

#include "BusPeer.h"
#include "LineProcess.h"
#include "NotificationNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

// Small helpers that several tests share.

inline QString name(const char* notificationOrIdentifier) {
    return QString::fromLatin1(notificationOrIdentifier);
}

inline QProcessEnvironment environmentWithDisplay(const QString& display) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    return env;
}

// Starts an agent on `display` and waits until it has announced itself on the bus.
inline bool startAgent(LineProcess& agent, BusPeer& peer, const QString& program,
                       const QString& display, const QStringList& arguments = {}) {
    const qsizetype before = peer.count(name(NotificationName::didFinishLaunching));
    agent.start(program, arguments, environmentWithDisplay(display));
    return peer.waitFor(name(NotificationName::didFinishLaunching), before + 1);
}

// Writes `content` to `path`, creating the folders on the way.
inline void writeFile(const QString& path, const QByteArray& content, bool executable = false) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    if (executable)
        QVERIFY(file.setPermissions(file.permissions() | QFileDevice::ExeOwner));
}
