// libFuzzer target: what ModbusMasterThread::handleResponse emits for any bytes, checked against
// an expectation worked out here from the bytes alone (own CRC and register reading).

#include "modbusmasterthread.h"

#include <QLoggingCategory>
#include <QStringList>

#include <cstdint>

using K = ModbusProtocol::ResponseKind;
using T = ModbusMasterThread;

static QStringList events;  // every signal as "number|argument|..."
static T *thread = nullptr; // created once, never destroyed
enum { Firmware = 12, Housing, Baud, Address = Baud + 3, Info, Error };

static quint16 crc16(const uint8_t *data, size_t size)
{
    quint16 crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i)
        for (int bit = (crc ^= data[i], 0); bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    return crc;
}

// Text form of a signal argument; a float as its bytes, so NaNs compare exactly.
struct Field
{
    static QString of(int i) { return QString::number(i); }
    static QString of(const QString &text) { return text.toUtf8().toPercentEncoding(" ,"); }
    static QString of(float f) { return QByteArray(reinterpret_cast<char *>(&f), 4).toHex(); }
    static QString of(quint32 b) { return QByteArray(reinterpret_cast<char *>(&b), 4).toHex(); }
};

template<typename... A>
static QString emission(int s, const A &...a)
{
    return QStringList { QString::number(s), Field::of(a)... }.join(QLatin1Char('|'));
}

// Numbered in the order given, which is the order a good answer emits the values.
template<typename... S>
static void record(S... signal)
{
    int s = 0;
    (QObject::connect(thread, signal, thread,
                      [n = s++](auto... a) { events << emission(n, a...); }),
     ...);
}

// The kind a correct handleResponse returns for these bytes, and the signals it emits.
static K expect(const uint8_t *f, size_t size, QStringList &out)
{
    const bool judged = size == 8 || size == 37 || size == 47, good = judged && !crc16(f, size);
    if (size == 0 || (judged && (!good || size == 8))) {
        const char *text = size == 0 ? "Timeout" : good ? "Response OK" : "Bad response, CRC error";
        out << emission(Info, QString(text));
        return size == 0 ? K::NoAnswer : good ? K::WriteEcho : K::CrcError;
    }
    if (size == 5 && (f[1] & 0x80) && !crc16(f, size)) {
        const char *const meanings[] = { "", ": illegal function", ": illegal data address",
                                         ": illegal data value", ": server device failure" };
        out << emission(Info,
                        QString::asprintf("Exception %02X from the transmitter%s", f[2],
                                          f[2] < 5 ? meanings[f[2]] : ""));
        return K::Exception;
    }
    if (!good) {
        out << emission(Info, QString("Unexpected answer: %1 bytes").arg(size));
        return K::UnexpectedLength;
    }
    // Register k high byte first; a 32-bit value has its low word first.
    const auto reg = [f](int k) { return quint16(f[3 + 2 * k] << 8 | f[4 + 2 * k]); };
    const auto pair = [&reg](int k) { return reg(k) | quint32(reg(k + 1)) << 16; };
    if (size == 47) {
        for (int s = 0, k = 0; s < 12; ++s) {
            const char form = "fsfsiifffffs"[s]; // float, signed 16 bits or 32-bit integer
            out << (form == 'f' ? emission(s, pair(k))
                                : emission(s, form == 's' ? int(qint16(reg(k))) : int(pair(k))));
            k += form == 's' ? 1 : 2;
        }
        return K::VolatileBlock;
    }
    const int d = reg(11);
    out << emission(Firmware, QString::fromLatin1(reinterpret_cast<const char *>(f + 21), 4),
                    2000 + (d >> 9), d >> 5 & 15, d & 31)
        << emission(Housing, int(qint16(reg(12))));
    const char *const tables[] = { "600 1200 2400 4800 9600 19200 38400", "None Even Odd", "1 2" };
    for (int t = 0; t < 3; ++t) // a code outside its table emits nothing
        if (const QStringList texts = QString(tables[t]).split(' '); reg(t) < texts.size())
            out << emission(Baud + t, texts[reg(t)]);
    out << emission(Address, int(qint16(reg(5))));
    return K::PersistentBlock;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // handleResponse traces every CRC failure; millions of those lines would dominate the run.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    if (crc16(reinterpret_cast<const uint8_t *>("123456789"), 9) != 0x4B37)
        qFatal("fuzz_response: the CRC misses its check value");
    thread = new T;
    record(&T::temperature, &T::temperatureAlarm, &T::humidity, &T::humidityAlarm, &T::serialNumber,
           &T::serialNumberTr, &T::dewPointTemperature, &T::enthalpy, &T::mixingRatio,
           &T::absoluteHumidity, &T::wetBulbTemperatur, &T::hxAlarm, &T::firmware, &T::housing,
           &T::baudRate, &T::parity, &T::stopBits, &T::address, &T::info, &T::error);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A copy the size of the input, so AddressSanitizer sees any read past its end.
    const QByteArray response(reinterpret_cast<const char *>(data), int(size));
    events.clear();
    const K kind = thread->handleResponse(response);
    QStringList expected;
    const K want = expect(data, size, expected);
    if (kind != want || events != expected) // qFatal() aborts, which libFuzzer reports
        qFatal("fuzz_response: kind %d, %s\nexpected kind %d, %s", int(kind),
               qPrintable(events.join(" / ")), int(want), qPrintable(expected.join(" / ")));
    return 0;
}

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

// Random bytes hardly ever carry a good CRC: some mutants are cut or padded to a judged length,
// and half of those of a judged length get a correct CRC; the rest stay arbitrary.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t maxSize,
                                          unsigned int seed)
{
    size = LLVMFuzzerMutate(data, size, maxSize);
    if ((seed & 0x0C) == 0) // padded with whatever the buffer holds
        size = qMin(maxSize, size_t("\x05\x08\x25\x2f"[(seed >> 4) % 4]));
    const quint16 crc = size >= 2 ? crc16(data, size - 2) : 0;
    if ((size == 5 || size == 8 || size == 37 || size == 47) && (seed & 1))
        data[size - 2] = uint8_t(crc), data[size - 1] = uint8_t(crc >> 8);
    return size;
}
