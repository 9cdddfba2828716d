#pragma once

#include <QProcess>
#include <QStringList>

// ba-sim as a child process, the way a technician's bench would have a BA.
class SimProcess
{
public:
    ~SimProcess() { stop(); }

    bool start(const QString &portFolder, int port, const QStringList &extra = {});
    void press(char key) { m_process.write(QByteArray(1, key)); }
    // Everything it has printed so far.
    QString output();
    bool said(const QString &text) { return output().contains(text); }
    int exitCode() const { return m_process.exitCode(); }
    bool waitForExit(int ms = 5000)
    {
        return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(ms);
    }
    void stop();
    // Gone without cleaning up, as a crash or an unplug would leave it.
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(3000);
    }

    static QString program();

private:
    QProcess m_process;
    QString m_output;
};
