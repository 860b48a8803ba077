// libFuzzer target for the master's answer handling: any 0 to 300 bytes go to
// ModbusMasterThread::handleResponse, and what it emits is checked against an expectation worked
// out here from the raw bytes alone (own CRC, own register reading). A difference aborts.

#include "modbusmasterthread.h"

#include <QLoggingCategory>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using K = ModbusProtocol::ResponseKind;
using T = ModbusMasterThread;

namespace {

QStringList events;  // every signal as "number|argument|...", see emission()
T *thread = nullptr; // created once, never destroyed
int signalCount = 0; // numbered in the order a good answer emits the values
enum { Firmware = 12, Housing, Baud, Address = Baud + 3, Info, Error };

quint16 crc16(const uint8_t *data, size_t size)
{
    quint16 crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
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
QString emission(int s, const A &...a)
{
    return QStringList { QString::number(s), Field::of(a)... }.join(QLatin1Char('|'));
}

template<typename... A>
void on(void (T::*signal)(A...))
{
    QObject::connect(thread, signal, thread,
                     [s = signalCount++](A... a) { events << emission(s, a...); });
}

// A read answer: register k high byte first; a 32-bit value has its low word first.
struct Frame
{
    const uint8_t *f;
    quint16 reg(int k) const { return quint16(f[3 + 2 * k] << 8 | f[4 + 2 * k]); }
    quint32 pair(int k) const { return reg(k) | quint32(reg(k + 1)) << 16; }
};

QStringList expectedVolatile(Frame f)
{
    // First register of each value in emission order: float, signed 16 or 32 bits.
    static const int first[] = { 0, 2, 3, 5, 6, 8, 10, 12, 14, 16, 18, 20 };
    QStringList out;
    for (int s = 0; s < 12; ++s) {
        const int k = first[s], form = "fsfsiifffffs"[s];
        out << (form == 'f' ? emission(s, f.pair(k))
                            : emission(s, form == 's' ? int(qint16(f.reg(k))) : int(f.pair(k))));
    }
    return out;
}

QStringList expectedPersistent(Frame f)
{
    const char *const tables[] = { "600 1200 2400 4800 9600 19200 38400", "None Even Odd", "1 2" };
    QString id;
    for (int i = 21; i <= 24; ++i)
        id.append(QChar(ushort(f.f[i]))); // Latin-1, a zero byte included
    const int d = f.reg(11);
    QStringList out = { emission(Firmware, id, 2000 + (d >> 9), d >> 5 & 15, d & 31),
                        emission(Housing, int(qint16(f.reg(12)))) };
    for (int t = 0; t < 3; ++t) { // a code outside its table emits nothing
        const QStringList table = QString(tables[t]).split(QLatin1Char(' '));
        if (f.reg(t) < table.size())
            out << emission(Baud + t, table[f.reg(t)]);
    }
    out << emission(Address, int(qint16(f.reg(5))));
    return out;
}

// The kind a correct handleResponse returns for these bytes, and the signals it emits.
K expect(const uint8_t *data, size_t size, QStringList &out)
{
    const bool judged = size == 8 || size == 37 || size == 47;
    const bool good = judged && crc16(data, size) == 0;
    const auto info = [&out](const char *text, K kind) {
        out << emission(Info, QString(text));
        return kind;
    };
    if (size == 0)
        return info("Timeout", K::NoAnswer);
    if (judged && !good)
        return info("Bad response, CRC error", K::CrcError);
    if (!good)
        return K::UnexpectedLength;
    if (size == 8)
        return info("Response OK", K::WriteEcho);
    out = size == 47 ? expectedVolatile({ data }) : expectedPersistent({ data });
    return size == 47 ? K::VolatileBlock : K::PersistentBlock;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // handleResponse traces every CRC failure; millions of those lines would dominate the run.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    if (crc16(reinterpret_cast<const uint8_t *>("123456789"), 9) != 0x4B37)
        std::abort(); // the Modbus CRC's known answer

    thread = new T;
    on(&T::temperature), on(&T::temperatureAlarm), on(&T::humidity), on(&T::humidityAlarm);
    on(&T::serialNumber), on(&T::serialNumberTr), on(&T::dewPointTemperature), on(&T::enthalpy);
    on(&T::mixingRatio), on(&T::absoluteHumidity), on(&T::wetBulbTemperatur), on(&T::hxAlarm);
    on(&T::firmware), on(&T::housing), on(&T::baudRate), on(&T::parity), on(&T::stopBits);
    on(&T::address), on(&T::info), on(&T::error);
    return 0;
}

// Inputs are 0 to 300 bytes long (scripts/fuzz.sh sets -max_len=300).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A copy the size of the input, so AddressSanitizer sees any read past its end.
    const QByteArray response(reinterpret_cast<const char *>(data), int(size));
    events.clear();
    const K kind = thread->handleResponse(response);
    QStringList expected;
    const K want = expect(data, size, expected);
    if (kind != want || events != expected) {
        std::fprintf(
            stderr, "fuzz_response: %zu bytes gave kind %d,\n  %s\nexpected kind %d,\n  %s\n", size,
            int(kind), qPrintable(events.join(" / ")), int(want), qPrintable(expected.join(" / ")));
        std::abort();
    }
    return 0;
}

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

// Random bytes hardly ever carry a good CRC: some mutants are cut or padded to a judged length,
// and half of those of a judged length get a correct CRC; the rest stay arbitrary.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t maxSize,
                                          unsigned int seed)
{
    size = LLVMFuzzerMutate(data, size, maxSize);
    const size_t length = size_t("\x08\x25\x2f"[(seed >> 4) % 3]);
    if ((seed & 0x0C) == 0 && length <= maxSize)
        size = length; // padded with whatever the buffer holds
    if ((size == 8 || size == 37 || size == 47) && (seed & 1)) {
        const quint16 crc = crc16(data, size - 2);
        data[size - 2] = uint8_t(crc), data[size - 1] = uint8_t(crc >> 8);
    }
    return size;
}
