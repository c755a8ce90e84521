#pragma once

#include <QIODevice>

namespace Corvane {
namespace ResetUpdates {

/**
 * Reads another device and refuses any seek back before the furthest point read. KTar lists an
 * archive through it: a header with a negative size sends KTar back to an earlier header, and
 * from there round again without end. Opened unbuffered, so that the furthest point read is
 * what the reader took, not what a buffer fetched ahead of it.
 */
class ForwardReader : public QIODevice
{
public:
    // source must be open for reading and outlive this device.
    explicit ForwardReader(QIODevice *source);

    bool isSequential() const override { return false; }
    qint64 size() const override;
    bool seek(qint64 position) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    QIODevice *m_source;
    qint64 m_furthest = 0;
};

} // namespace ResetUpdates
} // namespace Corvane
