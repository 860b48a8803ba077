// Draws the program's artwork and writes it in the exact byte layouts the program carries:
// the window icon (ui/QuorvelSetup.ico) and the maker's logo (ui/company.bmp), and on request
// the same glyph as PNGs for desktop integration. Qt only paints; the ICO and BMP containers are
// written here byte by byte, so their sizes never depend on an image writer's choices.
//
// Usage: artwork --ico FILE --bmp FILE     window icon and logo
//        artwork --png DIR                 DIR/<n>x<n>/apps/quorvel-setup.png for the hicolor sizes
//        artwork --preview DIR             enlarged previews on light and dark ground, for review

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QStringList>
#include <QtMath>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace {

const QColor outlineColor(0x22, 0x3a, 0x52);
const QColor mercuryLight(0xff, 0x6b, 0x5e);
const QColor mercuryDark(0xc6, 0x28, 0x28);
const QColor waterLight(0x6f, 0xd0, 0xff);
const QColor waterDark(0x15, 0x65, 0xc0);
const QColor waterEdge(0x0d, 0x3f, 0x85);

const int iconSizes[] = { 32, 64, 128 };
const int pngSizes[] = { 16, 32, 48, 64, 128, 256 };
const int logoWidth = 135;
const int logoHeight = 55;

// A drop standing on its round end: tip at the top, circle of radius r around (cx, cy). The
// sides end on the tangents from the tip, so they run into the circle without a kink, and draw
// in a little towards the tip, which keeps the tip sharp at small sizes.
QPainterPath dropPath(qreal cx, qreal cy, qreal r, qreal tipY)
{
    const qreal h = cy - tipY;
    const qreal a = std::acos(r / h); // angle between the vertical and the tangent point
    const QPointF tip(cx, tipY);
    const qreal pinch = 0.05 * r;
    // Clockwise round the bottom from the right tangent point to the left one; starting with the
    // arc makes the outline close exactly where the arc begins.
    const QRectF circle(cx - r, cy - r, 2 * r, 2 * r);
    const qreal startDeg = 90.0 - qRadiansToDegrees(a);
    QPainterPath p;
    p.arcMoveTo(circle, startDeg);
    const QPointF right = p.currentPosition();
    p.arcTo(circle, startDeg, -(180.0 + 2 * startDeg));
    const QPointF left = p.currentPosition();
    p.cubicTo(tip + (left - tip) * 0.7, tip + (left - tip) * 0.3 + QPointF(pinch, 0), tip);
    p.cubicTo(tip + (right - tip) * 0.3 - QPointF(pinch, 0), tip + (right - tip) * 0.7, right);
    p.closeSubpath();
    return p;
}

// The glyph on a 128 x 128 design grid: a thermometer beside a water drop. Outlines keep at
// least one device pixel, and the scale marks only appear where there is room for them.
void drawGlyph(QPainter &p, int size)
{
    const qreal unit = 128.0 / size; // design units per device pixel
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 128.0, size / 128.0);

    // Edges sit on multiples of 4 design units with 4-unit outlines, so at 32 px the outlines
    // cover whole pixels instead of smearing over two.
    const qreal edge = std::max(4.0, unit);

    // Thermometer: glass tube with a round top, bulb at the foot.
    const qreal tx = 36, tubeHalf = 14, tubeTop = 10, bulbY = 96, bulbR = 22;
    QPainterPath glass;
    glass.setFillRule(Qt::WindingFill); // so that simplified() unites the overlapping parts
    glass.addRoundedRect(QRectF(tx - tubeHalf, tubeTop, 2 * tubeHalf, bulbY - tubeTop), tubeHalf,
                         tubeHalf);
    glass.addEllipse(QPointF(tx, bulbY), bulbR, bulbR);
    glass = glass.simplified();

    p.setPen(QPen(outlineColor, edge, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QLinearGradient glassFill(tx - bulbR, 0, tx + bulbR, 0);
    glassFill.setColorAt(0, QColor(0xff, 0xff, 0xff));
    glassFill.setColorAt(1, QColor(0xdc, 0xe6, 0xf0));
    p.setBrush(glassFill);
    p.drawPath(glass);

    // Mercury: the bulb and a column up to about two thirds.
    const qreal colHalf = size <= 32 ? 4 : 5.5, colTop = 40, innerR = 14;
    QPainterPath mercury;
    mercury.setFillRule(Qt::WindingFill);
    mercury.addRoundedRect(QRectF(tx - colHalf, colTop, 2 * colHalf, bulbY - colTop), colHalf,
                           colHalf);
    mercury.addEllipse(QPointF(tx, bulbY), innerR, innerR);
    mercury = mercury.simplified();
    QRadialGradient mercuryFill(QPointF(tx - 4, bulbY - 5), bulbY - colTop);
    mercuryFill.setColorAt(0, mercuryLight);
    mercuryFill.setColorAt(0.35, mercuryDark.lighter(115));
    mercuryFill.setColorAt(1, mercuryDark);
    p.setPen(Qt::NoPen);
    p.setBrush(mercuryFill);
    p.drawPath(mercury);

    if (size >= 64) {
        p.setPen(QPen(outlineColor, std::max(3.0, unit), Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 4; ++i) {
            const qreal y = 22 + i * 14;
            p.drawLine(QPointF(tx + colHalf + 3, y), QPointF(tx + tubeHalf - 2.5, y));
        }
    }

    // Water drop, to the right and slightly lower, so both read as one mark.
    const qreal dx = 90, dy = 94, dr = 24, tipY = 32;
    const QPainterPath drop = dropPath(dx, dy, dr, tipY);
    QLinearGradient dropFill(0, tipY, 0, dy + dr);
    dropFill.setColorAt(0, waterLight);
    dropFill.setColorAt(1, waterDark);
    p.setPen(QPen(waterEdge, edge, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(dropFill);
    p.drawPath(drop);

    // Highlight along the lower left of the drop.
    QPen shine(QColor(255, 255, 255, 210), std::max(6.0, 1.5 * unit), Qt::SolidLine, Qt::RoundCap);
    p.setPen(shine);
    p.setBrush(Qt::NoBrush);
    const qreal hr = dr - 9;
    p.drawArc(QRectF(dx - hr, dy - hr, 2 * hr, 2 * hr), 190 * 16, 55 * 16);

    p.restore();
}

QImage glyphImage(int size)
{
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    drawGlyph(p, size);
    p.end();
    return img.convertToFormat(QImage::Format_ARGB32);
}

void putLe16(QByteArray &b, int v)
{
    b.append(char(v & 0xff));
    b.append(char((v >> 8) & 0xff));
}

void putLe32(QByteArray &b, qint64 v)
{
    for (int i = 0; i < 4; ++i)
        b.append(char((v >> (8 * i)) & 0xff));
}

void putInfoHeader(QByteArray &b, int width, int height, int bits, int imageBytes)
{
    putLe32(b, 40); // BITMAPINFOHEADER
    putLe32(b, width);
    putLe32(b, height);
    putLe16(b, 1); // planes
    putLe16(b, bits);
    putLe32(b, 0); // BI_RGB
    putLe32(b, imageBytes);
    putLe32(b, 3780); // 96 dpi
    putLe32(b, 3780);
    putLe32(b, 0); // colours used
    putLe32(b, 0); // important colours
}

// One icon image: BITMAPINFOHEADER with the height doubled (XOR pixels plus AND mask), the
// BGRA pixels bottom-up, then the 1-bit mask with rows padded to 32 bits. The mask marks fully
// transparent pixels for readers that ignore the alpha channel.
QByteArray iconDib(const QImage &img)
{
    const int w = img.width(), h = img.height();
    const int maskStride = ((w + 31) / 32) * 4;
    QByteArray b;
    putInfoHeader(b, w, 2 * h, 32, w * h * 4 + maskStride * h);
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            b.append(char(qBlue(line[x])));
            b.append(char(qGreen(line[x])));
            b.append(char(qRed(line[x])));
            b.append(char(qAlpha(line[x])));
        }
    }
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        QByteArray row(maskStride, '\0');
        for (int x = 0; x < w; ++x) {
            if (qAlpha(line[x]) == 0)
                row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
        }
        b.append(row);
    }
    return b;
}

QByteArray iconFile()
{
    const int count = int(std::size(iconSizes));
    QByteArray head, body;
    putLe16(head, 0); // reserved
    putLe16(head, 1); // type: icon
    putLe16(head, count);
    int offset = 6 + 16 * count;
    for (int size : iconSizes) {
        const QByteArray dib = iconDib(glyphImage(size));
        head.append(char(size)); // sizes below 256 fit the byte
        head.append(char(size));
        head.append(char(0)); // no palette
        head.append(char(0));
        putLe16(head, 1);  // planes
        putLe16(head, 32); // bits per pixel
        putLe32(head, dib.size());
        putLe32(head, offset);
        offset += dib.size();
        body.append(dib);
    }
    return head + body;
}

QFont logoFont(int pixelSize)
{
    const int id = QFontDatabase::addApplicationFont(
        QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"));
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    QFont f(families.isEmpty() ? QStringLiteral("DejaVu Sans") : families.first());
    f.setBold(true);
    f.setPixelSize(pixelSize);
    f.setHintingPreference(QFont::PreferNoHinting);
    return f;
}

// The maker's wordmark: a drop carrying a wave, then the name, on white (the bitmap has no alpha).
QImage logoImage()
{
    QImage img(logoWidth, logoHeight, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const qreal cx = 17, cy = 34, r = 12.5, tipY = 8;
    const QPainterPath drop = dropPath(cx, cy, r, tipY);
    QLinearGradient fill(0, tipY, 0, cy + r);
    fill.setColorAt(0, waterLight);
    fill.setColorAt(1, waterDark);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawPath(drop);

    // A white wave across the lower half, cut off by the drop's outline.
    const qreal x0 = cx - r - 2, w = 2 * r + 4, y0 = cy + 1, amp = 3.2;
    QPainterPath wave;
    wave.moveTo(x0, y0);
    wave.cubicTo(x0 + w / 6, y0 - amp, x0 + w / 3, y0 - amp, x0 + w / 2, y0);
    wave.cubicTo(x0 + 2 * w / 3, y0 + amp, x0 + 5 * w / 6, y0 + amp, x0 + w, y0);
    p.save();
    p.setClipPath(drop);
    p.setPen(QPen(Qt::white, 2.6, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(wave);
    p.restore();

    const QString name = QStringLiteral("Quorvel");
    const qreal textLeft = cx + r + 5, textRight = logoWidth - 3;
    QFont font = logoFont(26);
    QFontMetricsF fm(font);
    while (fm.horizontalAdvance(name) > textRight - textLeft && font.pixelSize() > 10) {
        font.setPixelSize(font.pixelSize() - 1);
        fm = QFontMetricsF(font);
    }
    p.setFont(font);
    p.setPen(outlineColor);
    const qreal baseline = cy + r - 2;
    p.drawText(QPointF(textLeft, baseline), name);
    p.end();
    return img;
}

// 24-bit BI_RGB bitmap, bottom-up rows padded to 4 bytes.
QByteArray bitmapFile(const QImage &img)
{
    const int w = img.width(), h = img.height();
    const int stride = (w * 3 + 3) & ~3;
    QByteArray b;
    b.append("BM");
    putLe32(b, 14 + 40 + stride * h);
    putLe32(b, 0);       // reserved
    putLe32(b, 14 + 40); // pixel offset
    putInfoHeader(b, w, h, 24, stride * h);
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        QByteArray row(stride, '\0');
        for (int x = 0; x < w; ++x) {
            row[3 * x] = char(qBlue(line[x]));
            row[3 * x + 1] = char(qGreen(line[x]));
            row[3 * x + 2] = char(qRed(line[x]));
        }
        b.append(row);
    }
    return b;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size()) {
        std::fprintf(stderr, "artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s: %d bytes\n", qPrintable(path), int(data.size()));
    return true;
}

bool writePngs(const QString &dir)
{
    for (int size : pngSizes) {
        const QString sub = QStringLiteral("%1/%2x%2/apps").arg(dir).arg(size);
        if (!QDir().mkpath(sub) || !glyphImage(size).save(sub + "/quorvel-setup.png", "PNG")) {
            std::fprintf(stderr, "artwork: cannot write into %s\n", qPrintable(sub));
            return false;
        }
    }
    std::printf("%s: hicolor PNGs\n", qPrintable(dir));
    return true;
}

// Each icon size enlarged with hard pixel edges, on light and on dark ground, with the 1:1 image
// in the corner, and the logo enlarged: what a reviewer needs to judge the artwork as shown.
bool writePreviews(const QString &dir)
{
    bool ok = true;
    for (int size : pngSizes) {
        const QImage img = glyphImage(size);
        const int zoom = std::max(2, 256 / size);
        QImage sheet(2 * (size * zoom + 2 * size), size * zoom + 2 * size, QImage::Format_RGB32);
        QPainter p(&sheet);
        const QColor grounds[] = { QColor(0xf4, 0xf4, 0xf4), QColor(0x30, 0x30, 0x34) };
        for (int g = 0; g < 2; ++g) {
            const int x = g * sheet.width() / 2;
            p.fillRect(x, 0, sheet.width() / 2, sheet.height(), grounds[g]);
            p.drawImage(QRect(x + size, size, size * zoom, size * zoom), img);
            p.drawImage(x + 2, 2, img);
        }
        p.end();
        ok = sheet.save(QStringLiteral("%1/icon-%2.png").arg(dir).arg(size)) && ok;
    }
    const QImage logo = logoImage();
    return logo.save(dir + "/logo-1x.png")
        && logo.scaled(logo.size() * 4).save(dir + "/logo-4x.png") && ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    auto value = [&args](const QString &option) {
        const int i = args.indexOf(option);
        return i >= 0 && i + 1 < args.size() ? args.at(i + 1) : QString();
    };

    bool ok = true;
    bool any = false;
    if (!value("--ico").isEmpty()) {
        ok = writeFile(value("--ico"), iconFile()) && ok;
        any = true;
    }
    if (!value("--bmp").isEmpty()) {
        ok = writeFile(value("--bmp"), bitmapFile(logoImage())) && ok;
        any = true;
    }
    if (!value("--png").isEmpty()) {
        ok = writePngs(value("--png")) && ok;
        any = true;
    }
    if (!value("--preview").isEmpty()) {
        ok = QDir().mkpath(value("--preview")) && writePreviews(value("--preview")) && ok;
        any = true;
    }
    if (!any) {
        std::fprintf(stderr,
                     "usage: artwork [--ico FILE] [--bmp FILE] [--png DIR] [--preview DIR]\n");
        return 2;
    }
    return ok ? 0 : 1;
}
