#include "FileTransferOwnership.h"

namespace veltrix {

bool FileTransferOwnership::tryAcquire(QObject* owner)
{
    if (owner == nullptr)
        return false;
    if (m_owner && m_owner != owner)
        return false;
    m_owner = owner;
    return true;
}

void FileTransferOwnership::release(QObject* owner)
{
    if (m_owner == owner)
        m_owner.clear();
}

bool FileTransferOwnership::isHeldBy(const QObject* owner) const
{
    return owner != nullptr && m_owner == owner;
}

bool FileTransferOwnership::isHeld() const
{
    return !m_owner.isNull();
}

} // namespace veltrix
