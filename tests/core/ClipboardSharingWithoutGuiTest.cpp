// The service is a core application: it has no clipboard, and clipboard sharing stays inactive.
#include <gtest/gtest.h>

#include <QtEndian>

#include "core/ClipboardSharing.h"
#include "support/LogCapture.h"

namespace veltrix {
namespace {

TEST(ClipboardSharingWithoutGui, StartStaysInactiveAndRemoteTextIsNotApplied) {
    test::LogCapture logs;
    for (int session = 0; session < 2; ++session) {
        ClipboardSharing sharing;
        sharing.start();
        EXPECT_FALSE(sharing.isActive());
        QByteArray message("\x04\x02\x00\x00\x00hi", 7);
        sharing.onRemoteClipboardData(message);
        sharing.onLocalClipboardChanged();  // nothing to read, nothing sent
        sharing.stop();
        EXPECT_FALSE(logs.contains("ClipboardSharing stopped"));
    }
    // Inert by design: said at most once for the process (once, when no earlier test said it),
    // never as the error it used to be in every session.
    EXPECT_LE(logs.count("ClipboardSharing: this process has no clipboard (no GUI); clipboard text is not shared here"),
              1u)
        << ::testing::PrintToString(logs.lines());
    EXPECT_FALSE(logs.contains("returned null")) << ::testing::PrintToString(logs.lines());
}

}  // namespace
}  // namespace veltrix
