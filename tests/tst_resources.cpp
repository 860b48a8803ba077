#include <QImage>
#include <QImageReader>
#include <QResource>
#include <QtEndian>
#include <QtTest>

// The embedded artwork: compiled in compressed, laid out as Windows expects, loadable by Qt.
class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void artwork_data();
    void artwork();
};

void tst_Resources::artwork_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<QList<QSize>>("sizes"); // of its images, in file order
    QTest::addColumn<int>("bpp");

    QTest::newRow("icon") << ":/QuorvelSetup.ico" << 88878
                          << QList<QSize> { { 32, 32 }, { 64, 64 }, { 128, 128 } } << 32;
    QTest::newRow("logo") << ":/company.bmp" << 22494 << QList<QSize> { { 135, 55 } } << 24;
}

void tst_Resources::artwork()
{
    QFETCH(QString, path);
    QFETCH(int, bytes);
    QFETCH(QList<QSize>, sizes);
    QFETCH(int, bpp);

    const QResource resource(path); // compressed: the icon alone would add 87 kB to the binary
    QCOMPARE(resource.compressionAlgorithm(), QResource::ZlibCompression);
    const QByteArray data = resource.uncompressedData();
    QCOMPARE(data.size(), bytes);
    const auto le = [&data](int at) { return qFromLittleEndian<qint32>(data.constData() + at); };

    // An icon lists its images in a directory; a bitmap holds one image after a 14-byte header.
    const bool icon = path.endsWith(QLatin1String(".ico"));
    QCOMPARE(icon ? le(4) & 0xFFFF : 1, sizes.size());
    QImageReader reader(path);
    for (int i = 0; i < sizes.size(); ++i) {
        // The image's BITMAPINFOHEADER; an icon's height counts its AND mask as well.
        const int header = icon ? le(18 + 16 * i) : 14;
        QCOMPARE(QSize(le(header + 4), le(header + 8) / (icon ? 2 : 1)), sizes[i]);
        QCOMPARE(le(header + 14) & 0xFFFF, bpp);
        QCOMPARE(le(header + 16), 0); // BI_RGB: uncompressed
        QVERIFY(!icon || reader.jumpToImage(i));
        QCOMPARE(reader.read().size(), sizes[i]);
    }
}

QTEST_MAIN(tst_Resources)
#include "tst_resources.moc"
