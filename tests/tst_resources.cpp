#include <QImageReader>
#include <QResource>
#include <QtEndian>
#include <QtTest>

class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void artwork_data() // compressed, laid out as Windows expects, loadable by Qt
    {
        QTest::addColumn<QString>("layout"); // bytes; per image w x h x (bits | compression << 16)
        QTest::newRow(":/QuorvelSetup.ico") << "88878 32x32x32 64x64x32 128x128x32";
        QTest::newRow(":/company.bmp") << "22494 135x55x24";
    }

    void artwork()
    {
        QFETCH(QString, layout);
        const QString path = QTest::currentDataTag();
        QCOMPARE(QResource(path).compressionAlgorithm(), QResource::ZlibCompression); // 87 kB less
        const QByteArray data = QResource(path).uncompressedData();
        const auto le = [&data](int at) { // little-endian, -1 past the end
            return at + 4 <= data.size() ? qFromLittleEndian<qint32>(data.constData() + at) : -1;
        };

        // Images follow an icon's directory or a bitmap's 14-byte header; icons count the AND mask.
        const bool icon = path.endsWith(".ico");
        QImageReader reader(path);
        QString found = QString::number(data.size());
        for (int i = 0; i < (icon ? le(4) & 0xFFFF : 1); ++i) {
            const int header = icon ? le(18 + 16 * i) : 14; // a BITMAPINFOHEADER
            const QSize size(le(header + 4), le(header + 8) / (icon ? 2 : 1));
            found += QString::asprintf(" %dx%dx%d", size.width(), size.height(), le(header + 14));
            QCOMPARE(icon && !reader.jumpToImage(i) ? QSize() : reader.read().size(), size);
        }
        QCOMPARE(found, layout);
    }
};

QTEST_MAIN(tst_Resources)
#include "tst_resources.moc"
