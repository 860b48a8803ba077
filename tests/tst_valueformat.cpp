#include "valueformat.h"

#include <QtTest>

#include <limits>

using ValueFormat::FeatureSet;

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

    void integer() { QCOMPARE(ValueFormat::integer(-1234567), "-1234567"); } // no separators

    void firmware_data()
    {
        QTest::addColumn<QString>("firmware"); // identifier "__" yyyy-mm-dd, as the window shows it
        QTest::addColumn<int>("featureSet");

        const int legacy = int(FeatureSet::Legacy), upTo19200 = int(FeatureSet::UpTo19200);
        const int current = int(FeatureSet::Current);
        QTest::newRow("2014-02-18") << "ABCD__2014-02-18" << upTo19200;
        QTest::newRow("2014-02-19") << "ABCD__2014-02-19" << current;
        QTest::newRow("2014-01-18") << "ABCD__2014-01-18" << current;
        QTest::newRow("2015-02-18") << "ABCD__2015-02-18" << current;
        QTest::newRow("month 15: legacy") << "\xff\xff__2127-15-31" << legacy;
        QTest::newRow("month and day 0") << "QV30__2000-00-00" << current;
        QTest::newRow("percent signs stay") << "%1%2__2020-01-02" << current;
    }

    void firmware()
    {
        QFETCH(QString, firmware);
        QFETCH(int, featureSet);
        const QStringList ymd = firmware.section("__", 1).split('-');
        const int y = ymd[0].toInt(), m = ymd[1].toInt(), d = ymd[2].toInt();
        QCOMPARE(int(ValueFormat::featureSet(y, m, d)), featureSet);
        QCOMPARE(ValueFormat::firmwareText(firmware.section("__", 0, 0), y, m, d),
                 featureSet == int(FeatureSet::Legacy) ? "Legacy" : firmware);
    }
};

QTEST_GUILESS_MAIN(tst_ValueFormat)

#include "tst_valueformat.moc"
