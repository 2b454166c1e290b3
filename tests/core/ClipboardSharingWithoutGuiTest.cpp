// The service is a core application: it has no clipboard, and clipboard sharing stays inactive.
#include <gtest/gtest.h>

#include <QtEndian>

#include "core/ClipboardSharing.h"
#include "support/LogCapture.h"

namespace veltrix {
namespace {

TEST(ClipboardSharingWithoutGui, StartStaysInactiveAndRemoteTextIsNotApplied) {
    test::LogCapture logs;
    ClipboardSharing sharing;
    sharing.start();
    EXPECT_FALSE(sharing.isActive());
    EXPECT_EQ(logs.count("ClipboardSharing: QApplication::clipboard() returned null"), 1u);

    QByteArray message("\x04\x02\x00\x00\x00hi", 7);
    sharing.onRemoteClipboardData(message);
    EXPECT_EQ(logs.count("ClipboardSharing: QApplication::clipboard() returned null"), 2u);
    sharing.onLocalClipboardChanged();  // nothing to read, nothing sent
    sharing.stop();
    EXPECT_FALSE(logs.contains("ClipboardSharing stopped"));
}

}  // namespace
}  // namespace veltrix
