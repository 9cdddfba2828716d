#include "protocolproperties.h"
#include "protocolfixture.h"

#include <QRandomGenerator>
#include <QTest>

// The fuzzer's invariants on a bounded, seeded set of scripts.
class TestProtocolProperties : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void handPickedScripts_data();
    void handPickedScripts();
    void randomScripts();
};

namespace {
QByteArray receive(const QByteArray &bytes)
{
    return QByteArray(1, 0) + char(bytes.size()) + bytes;
}
constexpr char kEnter = 4, kLeave = 5, kClearFields = 6, kClearLog = 7;
} // namespace

void TestProtocolProperties::handPickedScripts_data()
{
    QTest::addColumn<QByteArray>("script");
    const QByteArray report = sampleReport();
    QTest::addRow("report") << receive(report);
    QTest::addRow("report split") << receive(report.left(7)) + receive(report.mid(7));
    QTest::addRow("adjustment") << receive(report) + kEnter + receive("\x6e\x14") + kLeave;
    QTest::addRow("clears mid report") << receive(report.left(12)) + kClearFields + kClearLog + receive(report.mid(12));
    QTest::addRow("markers in test mode")
            << receive(report) + kEnter + receive("&&&") + kClearLog + receive("&") + kLeave + receive("x");
}

void TestProtocolProperties::handPickedScripts()
{
    QFETCH(QByteArray, script);
    QCOMPARE(CheckProtocolScript(script), QString());
}

void TestProtocolProperties::randomScripts()
{
    constexpr quint32 kSeed = 20261207;
    constexpr int kScripts = 3000;
    QRandomGenerator random(kSeed);
    const QByteArray report = sampleReport();
    for (int n = 0; n < kScripts; ++n) {
        QByteArray script;
        const int steps = random.bounded(1, 40);
        for (int i = 0; i < steps; ++i) {
            const int op = random.bounded(8);
            if (op >= 4) {
                script += char(op);
                continue;
            }
            // Mostly noise, often reports or pieces of them, now and then markers.
            QByteArray bytes;
            switch (random.bounded(4)) {
            case 0: bytes = report; break;
            case 1: bytes = report.mid(random.bounded(22), random.bounded(1, 22)); break;
            case 2: bytes = QByteArray(random.bounded(1, 4), '&'); break;
            default:
                for (int k = random.bounded(1, 63); k > 0; --k)
                    bytes += char(random.bounded(256));
            }
            script += receive(bytes.left(63));
        }
        const QString broken = CheckProtocolScript(script);
        QVERIFY2(broken.isEmpty(),
                 qPrintable(QStringLiteral("seed %1 script %2: %3\n%4")
                                    .arg(kSeed)
                                    .arg(n)
                                    .arg(broken, QString::fromLatin1(script.toHex()))));
    }
}

QTEST_APPLESS_MAIN(TestProtocolProperties)
#include "tst_protocolproperties.moc"
