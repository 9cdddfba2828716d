// SerialLink on a Windows COM port. Under Wine, COM1 is the Linux simulated
// BA's pseudo-terminal (tests/windows/with-ba-sim), sending its report every
// second, and COM2 a port that Windows refuses as in use.
#include "portselection.h"
#include "seriallink.h"

#include <QElapsedTimer>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {
const QByteArray kReport = QByteArray::fromHex("26312E30303256313033123456789ABCDEF001020A0B");
} // namespace

class TestComPort : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ownership_data();
    void ownership();
    void output_data();
    void output();
    void reportsArriveWholeAcrossReopens();
};

void TestComPort::ownership_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<PortState>("state");
    QTest::addRow("free") << 1 << PortState::Open;
    QTest::addRow("open in another program: access denied") << 2 << PortState::InUse;
    QTest::addRow("no such port") << 9 << PortState::NoDevice;
}

void TestComPort::ownership()
{
    QFETCH(int, port);
    QFETCH(PortState, state);
    SerialLink link({});
    QVERIFY(link.setCommPort(qint16(port)));
    QCOMPARE(link.setPortOpen(true), state == PortState::Open);
    QCOMPARE(link.portStatus().state, state);
    QCOMPARE(link.portStatus().device, u"COM%1"_s.arg(port));
    // Refused or open, the next tick tries again without a fuss.
    ReopenLink(link, QString::number(port));
    QCOMPARE(link.portStatus().state, state);
}

void TestComPort::output_data()
{
    QTest::addColumn<bool>("open");
    QTest::addRow("port open") << true;
    QTest::addRow("port closed") << false;
}

void TestComPort::output()
{
    QFETCH(bool, open);
    SerialLink link({});
    QVERIFY(link.setCommPort(1));
    QVERIFY(link.setPortOpen(true));
    if (!open)
        QVERIFY(link.setPortOpen(false));
    // Queued with the port is sent: the write completes after this returns.
    // The leave-test-mode command, which the BA never answers, so that no
    // reply reaches the next case.
    QCOMPARE(link.Output("c"), open);
    QCOMPARE(link.Output("c"), open);
}

void TestComPort::reportsArriveWholeAcrossReopens()
{
    SerialLink link({});
    QVERIFY(link.setCommPort(1));
    QVERIFY(link.setPortOpen(true));
    // The poll's own condition, at its own pace, with the re-open cycle.
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    int reopens = 0;
    while (received.count('&') < 5 && clock.elapsed() < 15000) {
        QTest::qWait(100);
        if (link.CommEvent() == CommEvents::kReceive && link.InBufferCount() > 0)
            received += link.Input();
        if (clock.elapsed() / 500 > reopens) {
            ReopenLink(link, u"1"_s);
            ++reopens;
        }
    }
    QVERIFY2(received.count('&') >= 5, received.toHex(' ').constData());
    // Every report between the first, which may have begun before the open,
    // and the last, which may still be arriving, is whole.
    const QList<QByteArray> reports = received.split('&');
    for (qsizetype i = 2; i + 1 < reports.size(); ++i)
        QCOMPARE(('&' + reports[i]).toHex(' '), kReport.toHex(' '));
}

QTEST_GUILESS_MAIN(TestComPort)
#include "tst_comport.moc"
