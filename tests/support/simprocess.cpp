#include "simprocess.h"

#include <QTest>

namespace {
// A loaded machine can take seconds to start a process; the wait ends as
// soon as it has published its port.
constexpr int kPublishMs = 20'000;
} // namespace

QString SimProcess::program()
{
    return QStringLiteral(BA_SIM_PATH);
}

bool SimProcess::start(const QString &portFolder, int port, const QStringList &extra)
{
    // What an earlier process said must not pass for this one's word.
    if (m_process.isOpen())
        m_process.readAll();
    m_output.clear();
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(
            program(),
            QStringList{QStringLiteral("--port-folder"), portFolder, QStringLiteral("--port"), QString::number(port)}
                    + extra);
    if (!m_process.waitForStarted())
        return false;
    // Up once it has published its port.
    const QString published = QStringLiteral("ba-sim: port %1 published: ").arg(port);
    return QTest::qWaitFor([&] { return said(published) || m_process.state() != QProcess::Running; }, kPublishMs)
            && m_process.state() == QProcess::Running;
}

QString SimProcess::output()
{
    m_output += QString::fromLocal8Bit(m_process.readAll());
    return m_output;
}

void SimProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(3000))
        m_process.kill();
    m_process.waitForFinished(1000);
}
