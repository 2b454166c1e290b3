#pragma once

#include <QMetaType>
#include <QString>

#include <cstdint>
#include <deque>
#include <optional>

namespace veltrix {

// One file command this client sent to the service.
struct FileRequest {
    enum class Kind { None, Listing, CreateFolder, Download, Upload };
    Kind kind = Kind::None;  // None: an error that answers nothing this client asked for
    QString remotePath;
    QString localPath;  // downloads and uploads
    std::uint64_t number = 0;  // in the order sent, from 1
};

// Which request a file error answers. The service reports a failed listing, folder, download or
// upload alike, as a text without the request, and a folder that was made or an upload the
// partner stored is never confirmed at all. What ties an error to its request is the order: the
// partner answers requests in the order they reach it (a download it is sending may be overtaken
// by the answers to later requests), and each kind of request fails only with the texts of its
// own kind and phase. The ledger keeps the requests still open in the order sent and gives each
// error to the earliest one that can have produced it, or to one whose path the error names.
//
// An upload goes on sending after the partner refused it; the refusal is held until the service
// reports the upload sent and then reported in place of its completion, so that the next
// transfer never starts while the service still sends the refused one. A partner that refused
// the start of an upload refuses its end once more; that second refusal is absorbed.
class FileRequestLedger {
public:
    // What became of an upload the service reports sent.
    struct UploadOutcome {
        FileRequest request;             // kind None: no upload was open
        std::optional<QString> refusal;  // the partner's refusal, held while it was sending
    };

    // A failed request, and whether that is news: a refusal held until its upload is sent, or the
    // second refusal of an upload already reported, is not.
    struct Failure {
        FileRequest request;
        bool report = true;
    };

    static constexpr std::size_t kMaxOpenRequests = 1000;

    FileRequest record(FileRequest::Kind kind, const QString& remotePath, const QString& localPath = QString());

    // A listing of `path` arrived: the listing request it answers, or kind None.
    FileRequest listed(const QString& path);
    // Data of the running download arrived: it can no longer be refused.
    void downloadStarted();
    // The download into `localPath` is written: its request (the earliest download when none has
    // that path), or kind None.
    FileRequest downloadCompleted(const QString& localPath);
    UploadOutcome uploadSent();

    // The request `error` answers (closed with it unless it is an upload still being sent);
    // kind None when no open request can have produced it.
    Failure failed(const QString& error);

    // The session ended: nothing open will be answered.
    void clear() { open_.clear(); }
    std::size_t openCount() const { return open_.size(); }

private:
    enum class Phase {
        Waiting,         // nothing heard yet (an upload: being sent)
        Started,         // a download whose data flows
        Sent,            // an upload the service has sent; the partner may still refuse it
        RefusedSending,  // an upload refused while the service still sends it
        AwaitingAbort,   // an upload refused at its start, whose end the partner refuses again
    };
    struct Entry {
        FileRequest request;
        Phase phase = Phase::Waiting;
        QString heldRefusal;
        bool refusalEndsIt = false;  // the held refusal answered the upload's end
    };

    static bool canAnswer(const Entry& entry, const QString& error);
    static bool namesPathOf(const Entry& entry, const QString& error);
    // Requests confirmed only by silence (made folders, sent uploads) that were sent before the
    // one at `index`: the partner handled them before it and did not complain.
    void settleBefore(std::size_t& index);
    FileRequest close(std::size_t index);

    std::deque<Entry> open_;
    std::uint64_t lastNumber_ = 0;
};

}  // namespace veltrix

Q_DECLARE_METATYPE(veltrix::FileRequest)
