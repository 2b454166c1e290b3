#pragma once

#include <QObject>
#include <QPointer>

namespace veltrix {

// The service runs one file transfer at a time and reports its progress, completion and errors
// without saying who asked for it. Two parts of the window start transfers: the file manager and
// the paste-files flow. Whoever holds this token owns the running transfer: only the holder starts
// uploads or downloads and only the holder reacts to the pipe's transfer signals; the other one
// refuses with a status instead of starting a second transfer over the first.
//
// The holder is kept as a QPointer, so an owner that is destroyed mid-transfer (a closed dialog,
// a new session's dialog replacing the old one) frees the token instead of blocking it for good.
class FileTransferOwnership
{
public:
    // Takes the token for `owner`. True when it was free or `owner` already holds it.
    bool tryAcquire(QObject* owner);
    // Gives the token back. Does nothing unless `owner` holds it, so a late release from a
    // previous owner never frees someone else's transfer.
    void release(QObject* owner);

    bool isHeldBy(const QObject* owner) const;
    bool isHeld() const;

private:
    QPointer<QObject> m_owner;
};

} // namespace veltrix
