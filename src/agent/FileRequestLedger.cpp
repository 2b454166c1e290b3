#include "agent/FileRequestLedger.h"

#include <array>

namespace veltrix {
namespace {

using Kind = FileRequest::Kind;

// What a request can still answer, by kind and phase.
enum Answer : unsigned {
    ListingAnswer = 1,     // a listing refused
    FolderAnswer = 2,      // a folder not made
    DownloadRefusal = 4,   // a download refused before its data
    DownloadFailure = 8,   // a download whose data could not be taken or kept
    UploadLocal = 16,      // an upload this side could not send
    UploadRemote = 32,     // an upload the partner refused
    AnyAnswer = 63,
};

// The texts of the file protocol, the partner's and this side's service's, with the requests
// each can answer. A text that is none of these (no interactive user, no session, a session that
// ended) can answer any request.
struct Vocabulary {
    const char* text;
    bool whole;  // the whole text, else its beginning
    unsigned answers;
};

constexpr std::array kVocabulary{
    Vocabulary{"Access denied: invalid path", true, ListingAnswer | DownloadRefusal},
    Vocabulary{"Access denied: no interactive user session", true,
               ListingAnswer | FolderAnswer | DownloadRefusal | UploadRemote},
    Vocabulary{"Directory does not exist: ", false, ListingAnswer},
    Vocabulary{"Cannot list directory: ", false, ListingAnswer},
    Vocabulary{"Access denied: invalid directory path", true, FolderAnswer},
    Vocabulary{"Failed to create directory: ", false, FolderAnswer},
    Vocabulary{"Cannot open file: ", false, DownloadRefusal},
    Vocabulary{"File too large (max 100 MB): ", false, DownloadRefusal | UploadLocal},
    Vocabulary{"Remote file download failed", true, DownloadRefusal},
    Vocabulary{"Remote file too large: ", false, DownloadRefusal},
    Vocabulary{"Invalid local save path: ", false, DownloadRefusal},
    Vocabulary{"Cannot request the download", false, DownloadRefusal},
    Vocabulary{"Another file transfer is in progress", true, DownloadRefusal | UploadLocal},
    Vocabulary{"Cannot read file: ", false, DownloadFailure},
    Vocabulary{"Remote file exceeded the allowed transfer size", true, DownloadFailure},
    Vocabulary{"Remote file transfer incomplete: ", false, DownloadFailure},
    Vocabulary{"Cannot write to local file: ", false, DownloadFailure},
    Vocabulary{"Cannot open local file: ", false, UploadLocal},
    Vocabulary{"Invalid local file path: ", false, UploadLocal},
    Vocabulary{"Cannot read local file: ", false, UploadLocal},
    Vocabulary{"Upload of ", false, UploadLocal},
    Vocabulary{"Access denied: invalid upload path", true, UploadRemote},
    Vocabulary{"Upload too large (max 100 MB)", true, UploadRemote},
    Vocabulary{"Upload exceeded size cap", true, UploadRemote},
    Vocabulary{"Upload aborted: ", false, UploadRemote},
    Vocabulary{"Upload incomplete: ", false, UploadRemote},
    Vocabulary{"Cannot write file: ", false, UploadRemote},
};

constexpr const char* kUploadAborted = "Upload aborted: ";

unsigned answersOf(const QString& error) {
    for (const Vocabulary& word : kVocabulary) {
        const QLatin1String text(word.text);
        if (word.whole ? error == text : error.startsWith(text)) return word.answers;
    }
    return AnyAnswer;
}

// The partner refuses an upload's end (its last message) with these; any other refusal comes
// earlier and is followed by a refusal of the end.
bool refusesTheEnd(const QString& error) {
    return error.startsWith(QLatin1String(kUploadAborted)) || error.startsWith(QLatin1String("Upload incomplete: ")) ||
           error.startsWith(QLatin1String("Cannot write file: "));
}

bool confirmedBySilence(Kind kind) { return kind == Kind::CreateFolder || kind == Kind::Upload; }

}  // namespace

FileRequest FileRequestLedger::record(Kind kind, const QString& remotePath, const QString& localPath) {
    FileRequest request{kind, remotePath, localPath, ++lastNumber_};
    // A partner that never answers cannot make the ledger grow without end.
    if (open_.size() >= kMaxOpenRequests) open_.pop_front();
    open_.push_back({request});
    return request;
}

bool FileRequestLedger::canAnswer(const Entry& entry, const QString& error) {
    const unsigned answers = answersOf(error);
    switch (entry.request.kind) {
    case Kind::Listing: return answers & ListingAnswer;
    case Kind::CreateFolder: return answers & FolderAnswer;
    case Kind::Download:
        return entry.phase == Phase::Started ? (answers & DownloadFailure) != 0
                                             : (answers & (DownloadRefusal | DownloadFailure)) != 0;
    case Kind::Upload:
        switch (entry.phase) {
        case Phase::Waiting: return answers & (UploadLocal | UploadRemote);
        case Phase::Sent: return answers & UploadRemote;
        case Phase::RefusedSending: return false;  // its end is refused once it is sent
        case Phase::AwaitingAbort: return error.startsWith(QLatin1String(kUploadAborted));
        case Phase::Started: return false;
        }
        return false;
    case Kind::None: return false;
    }
    return false;
}

bool FileRequestLedger::namesPathOf(const Entry& entry, const QString& error) {
    for (const QString& path : {entry.request.remotePath, entry.request.localPath}) {
        if (!path.isEmpty() && error.endsWith(QStringLiteral(": ") + path)) return true;
    }
    return false;
}

void FileRequestLedger::settleBefore(std::size_t& index) {
    for (std::size_t i = 0; i < index;) {
        const Entry& entry = open_[i];
        const bool silent = confirmedBySilence(entry.request.kind) &&
                            (entry.request.kind == Kind::CreateFolder || entry.phase == Phase::Sent ||
                             entry.phase == Phase::AwaitingAbort);
        if (silent) {
            open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(i));
            --index;
        } else {
            ++i;
        }
    }
}

FileRequest FileRequestLedger::close(std::size_t index) {
    settleBefore(index);
    const FileRequest request = open_[index].request;
    open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(index));
    return request;
}

FileRequest FileRequestLedger::listed(const QString& path) {
    for (std::size_t i = 0; i < open_.size(); ++i) {
        if (open_[i].request.kind == Kind::Listing && open_[i].request.remotePath == path) return close(i);
    }
    return {};
}

void FileRequestLedger::downloadStarted() {
    for (std::size_t i = 0; i < open_.size(); ++i) {
        if (open_[i].request.kind != Kind::Download) continue;
        if (open_[i].phase == Phase::Waiting) {
            open_[i].phase = Phase::Started;
            settleBefore(i);
        }
        return;
    }
}

FileRequest FileRequestLedger::downloadCompleted(const QString& localPath) {
    // The service names the file as it wrote it (its canonical path): the download of that name,
    // else the earliest one (the service runs one download at a time).
    std::optional<std::size_t> earliest;
    for (std::size_t i = 0; i < open_.size(); ++i) {
        if (open_[i].request.kind != Kind::Download) continue;
        if (open_[i].request.localPath == localPath) return close(i);
        if (!earliest) earliest = i;
    }
    return earliest ? close(*earliest) : FileRequest{};
}

FileRequestLedger::UploadOutcome FileRequestLedger::uploadSent() {
    for (std::size_t i = 0; i < open_.size(); ++i) {
        Entry& entry = open_[i];
        if (entry.request.kind != Kind::Upload) continue;
        if (entry.phase == Phase::Waiting) {
            entry.phase = Phase::Sent;
            return {entry.request, std::nullopt};
        }
        if (entry.phase == Phase::RefusedSending) {
            UploadOutcome outcome{entry.request, entry.heldRefusal};
            if (entry.refusalEndsIt) {
                open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                entry.phase = Phase::AwaitingAbort;
            }
            return outcome;
        }
    }
    return {};
}

FileRequestLedger::Failure FileRequestLedger::failed(const QString& error) {
    std::optional<std::size_t> earliest;
    std::optional<std::size_t> named;
    for (std::size_t i = 0; i < open_.size() && !named; ++i) {
        if (!canAnswer(open_[i], error)) continue;
        if (!earliest) earliest = i;
        if (namesPathOf(open_[i], error)) named = i;
    }
    if (!earliest) return {};
    std::size_t index = named ? *named : *earliest;
    if (open_[index].request.kind != Kind::Upload) return {close(index)};

    const unsigned answers = answersOf(error);
    const bool remote = (answers & UploadRemote) != 0 && (answers & UploadLocal) == 0;
    const Phase phase = open_[index].phase;
    if (phase == Phase::AwaitingAbort) return {close(index), false};
    if (!remote || (phase == Phase::Sent && refusesTheEnd(error))) return {close(index)};
    settleBefore(index);
    Entry& entry = open_[index];
    if (phase == Phase::Waiting) {
        // Still being sent: told when the service has sent it.
        entry.phase = Phase::RefusedSending;
        entry.heldRefusal = error;
        entry.refusalEndsIt = refusesTheEnd(error);
        return {entry.request, false};
    }
    entry.phase = Phase::AwaitingAbort;
    return {entry.request};
}

}  // namespace veltrix
