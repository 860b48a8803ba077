#include "scanthread.h"

ScanThread::ScanThread(const ScanSettings &settings, Scanner::EndpointFactory factory,
                       QObject *parent)
    : QThread(parent), scanner(settings, std::move(factory))
{
    qRegisterMetaType<FoundTransmitter>();
    scanner.onFound = [this](const FoundTransmitter &unit) { emit found(unit); };
    scanner.onProgress = [this](const Scanner::Progress &p) {
        emit progress(p.done, p.total, p.msLeft);
    };
}

void ScanThread::run()
{
    result = scanner.run();
}
