// Which file request an error answers: by the order in which the partner answers, the phase each
// request is in, and the words each kind of request can fail with.
#include <gtest/gtest.h>

#include "agent/FileRequestLedger.h"

namespace veltrix {
namespace {

using Kind = FileRequest::Kind;

class FileRequestLedgerTest : public ::testing::Test {
protected:
    // The kind and remote path of the request `error` answers; kind None when there is none.
    std::pair<Kind, QString> answered(const QString& error) {
        const auto failure = ledger.failed(error);
        reported = failure.report;
        return {failure.request.kind, failure.request.remotePath};
    }

    FileRequestLedger ledger;
    bool reported = false;
};

TEST_F(FileRequestLedgerTest, ARefusedListingDuringADownloadIsTheListings) {
    ledger.record(Kind::Download, "/data/a", "/home/u/a");
    ledger.downloadStarted();
    ledger.record(Kind::Listing, "/data/x:y");
    EXPECT_EQ(answered("Access denied: invalid path"), std::make_pair(Kind::Listing, QString("/data/x:y")));
    EXPECT_TRUE(reported);
    // The download is still open: it completes, and a later failure of its data is its own.
    EXPECT_EQ(ledger.downloadCompleted("/home/u/a").remotePath, "/data/a");
    EXPECT_EQ(ledger.openCount(), 0u);
}

TEST_F(FileRequestLedgerTest, TheSameWordsBeforeTheDownloadBeganAreTheDownloads) {
    ledger.record(Kind::Download, "/data/a", "/home/u/a");
    ledger.record(Kind::Listing, "/data");
    EXPECT_EQ(answered("Access denied: invalid path").first, Kind::Download);
    EXPECT_EQ(ledger.listed("/data").kind, Kind::Listing);
    // Once its data flows, a download fails only with the words of its data.
    ledger.record(Kind::Download, "/data/b", "/home/u/b");
    ledger.downloadStarted();
    EXPECT_EQ(answered("Access denied: invalid path").first, Kind::None);
    EXPECT_EQ(answered("Cannot write to local file: /home/u/b").first, Kind::Download);
}

TEST_F(FileRequestLedgerTest, FoldersAreMadeSilentlyAndAnErrorNamingOneIsThatOnes) {
    ledger.record(Kind::CreateFolder, "/data/one");
    ledger.record(Kind::CreateFolder, "/data/two");
    EXPECT_EQ(answered("Failed to create directory: /data/two"), std::make_pair(Kind::CreateFolder, QString("/data/two")));
    // A later request answered: the first folder was made without a word.
    ledger.record(Kind::Listing, "/data");
    EXPECT_EQ(ledger.listed("/data").kind, Kind::Listing);
    EXPECT_EQ(ledger.openCount(), 0u);
    EXPECT_EQ(answered("Access denied: invalid directory path").first, Kind::None);
}

TEST_F(FileRequestLedgerTest, AnUploadRefusedWhileSentIsReportedWhenSentAndItsEndRefusedOnceMore) {
    ledger.record(Kind::CreateFolder, "/stage");
    ledger.record(Kind::Upload, "/stage/a", "/home/u/a");
    ledger.record(Kind::Upload, "/stage/b", "/home/u/b");
    EXPECT_EQ(answered("Access denied: invalid upload path"), std::make_pair(Kind::Upload, QString("/stage/a")));
    EXPECT_FALSE(reported) << "held until the service has sent it";
    const auto first = ledger.uploadSent();
    EXPECT_EQ(first.request.remotePath, "/stage/a");
    ASSERT_TRUE(first.refusal);
    EXPECT_EQ(*first.refusal, "Access denied: invalid upload path");
    // The refusal of its end belongs to it, not to the next upload.
    EXPECT_EQ(answered("Upload aborted: no valid upload in progress").second, "/stage/a");
    EXPECT_FALSE(reported);
    const auto second = ledger.uploadSent();
    EXPECT_EQ(second.request.remotePath, "/stage/b");
    EXPECT_FALSE(second.refusal);
    EXPECT_EQ(answered("Cannot write file: /somewhere/b"), std::make_pair(Kind::Upload, QString("/stage/b")));
    EXPECT_TRUE(reported);
}

TEST_F(FileRequestLedgerTest, WordsOfNoKindGoToTheEarliestOpenRequestAndNothingOpenAnswersNothing) {
    EXPECT_EQ(answered("No active session").first, Kind::None);
    ledger.record(Kind::Listing, "/a");
    ledger.record(Kind::Download, "/b", "/home/u/b");
    EXPECT_EQ(answered("Access denied: no interactive user session").second, "/a");
    EXPECT_EQ(answered("Access denied: no interactive user session").second, "/b");
    ledger.record(Kind::Listing, "/c");
    ledger.clear();
    EXPECT_EQ(answered("Directory does not exist: /c").first, Kind::None);
}

TEST_F(FileRequestLedgerTest, APartnerThatNeverAnswersCannotGrowTheLedgerWithoutEnd) {
    for (std::size_t i = 0; i < FileRequestLedger::kMaxOpenRequests + 10; ++i)
        ledger.record(Kind::CreateFolder, QString("/f%1").arg(i));
    EXPECT_EQ(ledger.openCount(), FileRequestLedger::kMaxOpenRequests);
}

}  // namespace
}  // namespace veltrix
