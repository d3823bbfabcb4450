#pragma once

#include <QProcess>
#include <QStringList>

// An X server of the test's own. -noreset keeps it from resetting (and stalling the next client)
// when its last client leaves.
class XvfbServer {
public:
    // On `display` (":N"; a test may need one to appear where it was missing), or on a free one
    // of the server's choosing.
    explicit XvfbServer(const QString& display = {}, const QStringList& extraArguments = {});
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool isRunning() const { return !display_.isEmpty() && server_.state() == QProcess::Running; }
    QString display() const { return display_; }
    qint64 pid() const { return server_.processId(); }
    void kill();

    // A display name that no server answers on, and that no other test will take.
    static QString unusedDisplay();

private:
    QProcess server_;
    QString display_;
};
