#include "valueformat.h"

#include <QtTest>

#include <limits>

class tst_ValueFormat : public QObject
{
    Q_OBJECT

private slots:
    void decimal_data()
    {
        QTest::addColumn<float>("value");
        QTest::addColumn<QString>("text");

        const float inf = std::numeric_limits<float>::infinity();
        QTest::newRow("23.456 rounds to the hundredth") << 23.456f << "23.46";
        QTest::newRow("-0.004 shows 0, not -0") << -0.004f << "0";
        QTest::newRow("halfway 0.125 goes up") << 0.125f << "0.13";
        QTest::newRow("halfway -0.125 goes up too") << -0.125f << "-0.12";
        QTest::newRow("12345.67 keeps six digits") << 12345.67f << "12345.7";
        QTest::newRow("999999 stays plain") << 999999.0f << "999999";
        QTest::newRow("1234567 takes the exponent form") << 1234567.0f << "1.23457e+06";
        QTest::newRow("hundredfold beyond 32 bits") << 3.0e10f << "3e+10";
        QTest::newRow("NaN") << std::numeric_limits<float>::quiet_NaN() << "NaN";
        QTest::newRow("+infinity") << inf << "inf";
        QTest::newRow("-infinity") << -inf << "-inf";
    }

    void decimal()
    {
        QFETCH(float, value);
        QFETCH(QString, text);
        QCOMPARE(ValueFormat::decimal(value), text);
    }
};

QTEST_GUILESS_MAIN(tst_ValueFormat)

#include "tst_valueformat.moc"
