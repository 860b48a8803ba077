#include <QFile>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QResource>
#include <QtTest>

// The embedded artwork as the program sees it: the compiled-in resource collection, read back
// through Qt, and the byte layout of the two Windows formats.
class TestResources : public QObject {
    Q_OBJECT

private slots:
    void storage_data();
    void storage();
    void images_data();
    void images();
};

namespace {

quint32 le32(const QByteArray& b, int at)
{
    const auto* p = reinterpret_cast<const uchar*>(b.constData()) + at;
    return p[0] | (p[1] << 8) | (p[2] << 16) | (quint32(p[3]) << 24);
}

quint16 le16(const QByteArray& b, int at)
{
    const auto* p = reinterpret_cast<const uchar*>(b.constData()) + at;
    return quint16(p[0] | (p[1] << 8));
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

void TestResources::storage_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("bytes");

    QTest::newRow(":/QuorvelSetup.ico") << ":/QuorvelSetup.ico" << qint64(88878);
    QTest::newRow(":/company.bmp") << ":/company.bmp" << qint64(22494);
}

void TestResources::storage()
{
    QFETCH(QString, path);
    QFETCH(qint64, bytes);

    const QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::ZlibCompression);
    QVERIFY(resource.size() < bytes);
    QCOMPARE(resource.uncompressedSize(), bytes);
    QCOMPARE(contents(path).size(), int(bytes));
}

void TestResources::images_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("index");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("bpp");
    QTest::addColumn<int>("header"); // offset of the BITMAPINFOHEADER
    QTest::addColumn<int>("bytes"); // icon: whole DIB; bitmap: pixel array

    const QString icon = QStringLiteral(":/QuorvelSetup.ico");
    QTest::newRow("icon 32x32") << icon << 0 << QSize(32, 32) << 32 << 54 << 4264;
    QTest::newRow("icon 64x64") << icon << 1 << QSize(64, 64) << 32 << 4318 << 16936;
    QTest::newRow("icon 128x128") << icon << 2 << QSize(128, 128) << 32 << 21254 << 67624;
    QTest::newRow("logo 135x55") << ":/company.bmp" << 0 << QSize(135, 55) << 24 << 14 << 22440;
}

void TestResources::images()
{
    QFETCH(QString, path);
    QFETCH(int, index);
    QFETCH(QSize, size);
    QFETCH(int, bpp);
    QFETCH(int, header);
    QFETCH(int, bytes);

    const QByteArray file = contents(path);
    const bool isIcon = path.endsWith(QLatin1String(".ico"));
    QVERIFY(file.size() >= header + (isIcon ? 0 : 40) + bytes);

    if (isIcon) {
        QCOMPARE(le16(file, 0), quint16(0));
        QCOMPARE(le16(file, 2), quint16(1));
        QCOMPARE(le16(file, 4), quint16(3));
        const int entry = 6 + 16 * index;
        QCOMPARE(int(uchar(file.at(entry))), size.width());
        QCOMPARE(int(uchar(file.at(entry + 1))), size.height());
        QCOMPARE(le16(file, entry + 6), quint16(bpp));
        QCOMPARE(le32(file, entry + 8), quint32(bytes));
        QCOMPARE(le32(file, entry + 12), quint32(header));
    } else {
        QCOMPARE(file.left(2), QByteArray("BM"));
        QCOMPARE(le32(file, 2), quint32(file.size()));
        QCOMPARE(le32(file, 10), quint32(header + 40));
    }

    // BITMAPINFOHEADER; an icon's height counts the AND mask as well.
    QCOMPARE(le32(file, header), quint32(40));
    QCOMPARE(qint32(le32(file, header + 4)), size.width());
    QCOMPARE(qint32(le32(file, header + 8)), isIcon ? 2 * size.height() : size.height());
    QCOMPARE(le16(file, header + 14), quint16(bpp));
    QCOMPARE(le32(file, header + 16), quint32(0)); // BI_RGB

    QImageReader reader(path);
    if (isIcon)
        QVERIFY(reader.jumpToImage(index));
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), size);
    QCOMPARE(image.hasAlphaChannel(), isIcon);

    if (isIcon) {
        QVERIFY(QIcon(path).availableSizes().contains(size));

        // The AND mask marks exactly the fully transparent pixels, and the glyph stands on a
        // transparent ground.
        const int w = size.width(), h = size.height();
        const int pixels = header + 40, mask = pixels + w * h * 4, stride = (w + 31) / 32 * 4;
        int transparent = 0;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const bool clear = file.at(pixels + (y * w + x) * 4 + 3) == 0;
                const bool masked = uchar(file.at(mask + y * stride + x / 8)) & (0x80 >> (x % 8));
                QVERIFY2(clear == masked, qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
                transparent += clear;
            }
        }
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        QVERIFY(transparent > w * h / 4 && transparent < w * h * 3 / 4);
    }
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
