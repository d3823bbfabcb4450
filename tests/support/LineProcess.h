#pragma once

#include <QProcess>
#include <QStringList>

// A program under test, its standard output and standard error read line by line.
class LineProcess {
public:
    LineProcess() = default;
    ~LineProcess();
    LineProcess(const LineProcess&) = delete;
    LineProcess& operator=(const LineProcess&) = delete;

    void start(const QString& program, const QStringList& arguments = {},
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
    // Waits, at most `timeoutMs`, until standard output has a line equal to `line` beyond the
    // first `skip` lines.
    bool waitForLine(const QString& line, int timeoutMs = 10000, qsizetype skip = 0);
    bool waitForLineCount(qsizetype count, int timeoutMs = 10000);
    bool waitForExit(int timeoutMs = 10000);
    QStringList output();
    QStringList errors();
    int exitCode() const { return process_.exitCode(); }
    bool isRunning() const { return process_.state() != QProcess::NotRunning; }
    qint64 pid() const { return process_.processId(); }
    void terminate() { process_.terminate(); }
    QProcess& process() { return process_; }

private:
    void readAll();

    QProcess process_;
    QStringList output_;
    QStringList errors_;
    QByteArray outputTail_;
    QByteArray errorTail_;
};
