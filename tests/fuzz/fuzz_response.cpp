// libFuzzer target for the master's answer handling: any byte string of 0 to 300 bytes goes to
// ModbusMasterThread::handleResponse, and what it emits is checked against an expectation that
// is worked out here from the raw bytes alone (own CRC, own register reading, own code tables).
// Any difference aborts, so libFuzzer keeps the input as a crash.

#include "modbusmasterthread.h"

#include <QByteArray>
#include <QLatin1String>
#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using ModbusProtocol::ResponseKind;

namespace {

constexpr size_t maxInput = 300;

// The value signals, in the order a good answer emits them.
enum class Value {
    Temperature,
    TemperatureAlarm,
    Humidity,
    HumidityAlarm,
    SerialNumber,
    SerialNumberTr,
    DewPointTemperature,
    Enthalpy,
    MixingRatio,
    AbsoluteHumidity,
    WetBulbTemperature,
    HxAlarm,
    Firmware,
    Housing,
    BaudRate,
    Parity,
    StopBits,
    Address,
};

const char *const valueNames[] = {
    "temperature", "temperatureAlarm", "humidity", "humidityAlarm", "serialNumber",
    "serialNumberTr", "dewPointTemperature", "enthalpy", "mixingRatio", "absoluteHumidity",
    "wetBulbTemperatur", "hxAlarm", "firmware", "housing", "baudRate", "parity", "stopBits",
    "address",
};

// One emitted value signal. Floats are kept as their bit pattern, so NaNs compare exactly.
struct Emission
{
    Value which = Value::Temperature;
    quint32 bits = 0;
    int number = 0;
    QString text;
    int year = 0;
    int month = 0;
    int day = 0;

    bool operator==(const Emission &o) const
    {
        return which == o.which && bits == o.bits && number == o.number && text == o.text
                && year == o.year && month == o.month && day == o.day;
    }
};

struct Observed
{
    std::vector<Emission> values;
    std::vector<QString> infos;
    int errors = 0;

    void clear()
    {
        values.clear(); // keeps the capacity: no allocation per run for the vectors themselves
        infos.clear();
        errors = 0;
    }
};

Observed observed;
ModbusMasterThread *thread = nullptr; // created once, never destroyed

quint16 crcTable[256];

// Table-driven, unlike the bitwise one under test, so a slip in either shows as a mismatch.
void buildCrcTable()
{
    for (int n = 0; n < 256; ++n) {
        quint16 c = quint16(n);
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? quint16((c >> 1) ^ 0xA001) : quint16(c >> 1);
        crcTable[n] = c;
    }
}

quint16 crc16(const uint8_t *data, size_t size)
{
    quint16 crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i)
        crc = quint16((crc >> 8) ^ crcTable[(crc ^ data[i]) & 0xFF]);
    return crc;
}

[[noreturn]] void violated(const char *what, size_t size)
{
    std::fprintf(stderr, "fuzz_response: %s (input of %zu bytes)\n", what, size);
    std::abort();
}

quint32 floatBits(float f)
{
    quint32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

void record(Value which, quint32 bits, int number, const QString &text = QString(), int y = 0,
            int m = 0, int d = 0)
{
    Emission e;
    e.which = which;
    e.bits = bits;
    e.number = number;
    e.text = text;
    e.year = y;
    e.month = m;
    e.day = d;
    observed.values.push_back(e);
}

void connectSignals()
{
    using T = ModbusMasterThread;
    ModbusMasterThread *t = thread;
    constexpr auto direct = Qt::DirectConnection; // no event loop runs here

    const auto onFloat = [t](void (T::*signal)(float), Value which) {
        QObject::connect(t, signal, t, [which](float f) { record(which, floatBits(f), 0); },
                         direct);
    };
    const auto onInt = [t](void (T::*signal)(int), Value which) {
        QObject::connect(t, signal, t, [which](int i) { record(which, 0, i); }, direct);
    };
    const auto onText = [t](void (T::*signal)(QString), Value which) {
        QObject::connect(t, signal, t, [which](const QString &s) { record(which, 0, 0, s); },
                         direct);
    };

    onFloat(&T::temperature, Value::Temperature);
    onInt(&T::temperatureAlarm, Value::TemperatureAlarm);
    onFloat(&T::humidity, Value::Humidity);
    onInt(&T::humidityAlarm, Value::HumidityAlarm);
    onInt(&T::serialNumber, Value::SerialNumber);
    onInt(&T::serialNumberTr, Value::SerialNumberTr);
    onFloat(&T::dewPointTemperature, Value::DewPointTemperature);
    onFloat(&T::enthalpy, Value::Enthalpy);
    onFloat(&T::mixingRatio, Value::MixingRatio);
    onFloat(&T::absoluteHumidity, Value::AbsoluteHumidity);
    onFloat(&T::wetBulbTemperatur, Value::WetBulbTemperature);
    onInt(&T::hxAlarm, Value::HxAlarm);
    const auto onFirmware = [](const QString &s, int y, int m, int d) {
        record(Value::Firmware, 0, 0, s, y, m, d);
    };
    QObject::connect(t, &T::firmware, t, onFirmware, direct);
    onInt(&T::housing, Value::Housing);
    onText(&T::baudRate, Value::BaudRate);
    onText(&T::parity, Value::Parity);
    onText(&T::stopBits, Value::StopBits);
    onInt(&T::address, Value::Address);

    QObject::connect(t, &T::info, t, [](const QString &s) { observed.infos.push_back(s); }, direct);
    QObject::connect(t, &T::error, t, [](const QString &) { ++observed.errors; }, direct);
}

// Register k of a read answer, high byte first, counted after the byte count.
quint16 reg(const uint8_t *frame, int k)
{
    return quint16(frame[3 + 2 * k] << 8 | frame[4 + 2 * k]);
}

// Two registers, the first one holding the low word.
quint32 pair(const uint8_t *frame, int k)
{
    return quint32(reg(frame, k)) | quint32(reg(frame, k + 1)) << 16;
}

std::vector<Emission> expectedVolatile(const uint8_t *f)
{
    struct Row
    {
        Value which;
        int k;
        enum { Float, Signed16, Int32 } form;
    };
    static const Row rows[] = {
        { Value::Temperature, 0, Row::Float },
        { Value::TemperatureAlarm, 2, Row::Signed16 },
        { Value::Humidity, 3, Row::Float },
        { Value::HumidityAlarm, 5, Row::Signed16 },
        { Value::SerialNumber, 6, Row::Int32 },
        { Value::SerialNumberTr, 8, Row::Int32 },
        { Value::DewPointTemperature, 10, Row::Float },
        { Value::Enthalpy, 12, Row::Float },
        { Value::MixingRatio, 14, Row::Float },
        { Value::AbsoluteHumidity, 16, Row::Float },
        { Value::WetBulbTemperature, 18, Row::Float },
        { Value::HxAlarm, 20, Row::Signed16 },
    };
    std::vector<Emission> out;
    for (const Row &row : rows) {
        Emission e;
        e.which = row.which;
        switch (row.form) {
        case Row::Float:
            e.bits = pair(f, row.k);
            break;
        case Row::Signed16:
            e.number = qint16(reg(f, row.k));
            break;
        case Row::Int32:
            e.number = qint32(pair(f, row.k));
            break;
        }
        out.push_back(e);
    }
    return out;
}

std::vector<Emission> expectedPersistent(const uint8_t *f)
{
    static const char *const baudRates[] = { "600", "1200", "2400", "4800", "9600", "19200",
                                             "38400" };
    static const char *const parities[] = { "None", "Even", "Odd" };
    static const char *const stopBits[] = { "1", "2" };

    std::vector<Emission> out;
    Emission firmware;
    firmware.which = Value::Firmware;
    for (int i = 21; i <= 24; ++i)
        firmware.text.append(QChar(ushort(f[i]))); // Latin-1, a zero byte included
    const quint16 date = reg(f, 11);
    firmware.year = 2000 + (date >> 9);
    firmware.month = (date >> 5) & 0x0F;
    firmware.day = date & 0x1F;
    out.push_back(firmware);

    Emission housing;
    housing.which = Value::Housing;
    housing.number = qint16(reg(f, 12));
    out.push_back(housing);

    const auto coded = [&out](Value which, quint16 code, const char *const *table, size_t n) {
        if (code >= n)
            return; // outside the table: no signal
        Emission e;
        e.which = which;
        e.text = QLatin1String(table[code]);
        out.push_back(e);
    };
    coded(Value::BaudRate, reg(f, 0), baudRates, sizeof baudRates / sizeof *baudRates);
    coded(Value::Parity, reg(f, 1), parities, sizeof parities / sizeof *parities);
    coded(Value::StopBits, reg(f, 2), stopBits, sizeof stopBits / sizeof *stopBits);

    Emission address;
    address.which = Value::Address;
    address.number = qint16(reg(f, 5));
    out.push_back(address);
    return out;
}

void checkOutcome(const uint8_t *data, size_t size, ResponseKind kind)
{
    const bool judgedLength = size == 8 || size == 37 || size == 47;
    const bool goodCrc = judgedLength && crc16(data, size) == 0;

    ResponseKind expectedKind = ResponseKind::UnexpectedLength;
    const char *expectedInfo = nullptr;
    std::vector<Emission> expectedValues;
    if (size == 0) {
        expectedKind = ResponseKind::NoAnswer;
        expectedInfo = "Timeout";
    } else if (judgedLength && !goodCrc) {
        expectedKind = ResponseKind::CrcError;
        expectedInfo = "Bad response, CRC error";
    } else if (size == 8 && goodCrc) {
        expectedKind = ResponseKind::WriteEcho;
        expectedInfo = "Response OK";
    } else if (size == 47 && goodCrc) {
        expectedKind = ResponseKind::VolatileBlock;
        expectedValues = expectedVolatile(data);
    } else if (size == 37 && goodCrc) {
        expectedKind = ResponseKind::PersistentBlock;
        expectedValues = expectedPersistent(data);
    }

    if (kind != expectedKind)
        violated("wrong judgement of the answer", size);
    if (observed.errors != 0)
        violated("error signal from answer handling", size);
    if (expectedInfo) {
        if (observed.infos.size() != 1 || observed.infos.front() != QLatin1String(expectedInfo))
            violated("missing or wrong info text", size);
    } else if (!observed.infos.empty()) {
        violated("unexpected info text", size);
    }
    if (observed.values.size() != expectedValues.size())
        violated(expectedValues.empty() ? "value signal for an answer that is not good"
                                        : "wrong number of value signals",
                 size);
    for (size_t i = 0; i < expectedValues.size(); ++i) {
        if (!(observed.values[i] == expectedValues[i])) {
            std::fprintf(stderr, "fuzz_response: signal %zu is %s, expected %s\n", i,
                         valueNames[int(observed.values[i].which)],
                         valueNames[int(expectedValues[i].which)]);
            violated("value signal out of order or with a wrong value", size);
        }
    }
}

QtMessageHandler previousHandler = nullptr;

// handleResponse traces every CRC failure; printing that for millions of inputs would dominate.
void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    previousHandler = qInstallMessageHandler(quietHandler);
    buildCrcTable();
    // Known answer of the Modbus CRC: "123456789" gives 0x4B37.
    if (crc16(reinterpret_cast<const uint8_t *>("123456789"), 9) != 0x4B37)
        violated("reference CRC is wrong", 9);
    thread = new ModbusMasterThread;
    connectSignals();
    observed.values.reserve(16);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > maxInput)
        return 0;
    // A copy the size of the input, so AddressSanitizer sees any read past its end.
    const QByteArray response(reinterpret_cast<const char *>(data), int(size));
    observed.clear();
    const ResponseKind kind = thread->handleResponse(response);
    checkOutcome(data, size, kind);
    return 0;
}

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

// Random bytes hardly ever carry a good CRC, so without help the decoding would see little
// beyond the seeds. Some mutants are cut or padded to a judged length, and half of those of a
// judged length get a correct CRC; the rest stay as arbitrary as libFuzzer makes them.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t maxSize,
                                          unsigned int seed)
{
    size = LLVMFuzzerMutate(data, size, maxSize);
    if ((seed & 0x0C) == 0) {
        static const size_t lengths[] = { 8, 37, 47 };
        const size_t length = lengths[(seed >> 4) % 3];
        if (length <= maxSize) {
            for (size_t i = size; i < length; ++i)
                data[i] = uint8_t(seed >> (8 + i % 16));
            size = length;
        }
    }
    if ((size == 8 || size == 37 || size == 47) && (seed & 1)) {
        const quint16 crc = crc16(data, size - 2);
        data[size - 2] = uint8_t(crc & 0xFF);
        data[size - 1] = uint8_t(crc >> 8);
    }
    return size;
}
