#include "forwardreader.h"

namespace Corvane {
namespace ResetUpdates {

ForwardReader::ForwardReader(QIODevice *source)
    : m_source(source)
{
}

qint64 ForwardReader::size() const
{
    return m_source->size();
}

bool ForwardReader::seek(qint64 position)
{
    if (position < m_furthest) {
        setErrorString(QStringLiteral("The archive leads back to data already read"));
        return false;
    }
    if (!m_source->seek(position)) {
        setErrorString(m_source->errorString());
        return false;
    }
    return QIODevice::seek(position);
}

qint64 ForwardReader::readData(char *data, qint64 maxSize)
{
    const qint64 read = m_source->read(data, maxSize);
    if (read > 0)
        m_furthest = qMax(m_furthest, m_source->pos());
    return read;
}

qint64 ForwardReader::writeData(const char *, qint64)
{
    return -1;
}

} // namespace ResetUpdates
} // namespace Corvane
