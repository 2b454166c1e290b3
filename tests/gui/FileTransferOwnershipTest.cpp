#include "gui/FileTransferOwnership.h"

#include <gtest/gtest.h>

#include <memory>

using veltrix::FileTransferOwnership;

TEST(FileTransferOwnershipTest, OneOwnerAtATimeAndOnlyTheHolderReleases)
{
    FileTransferOwnership ownership;
    QObject fileManager;
    QObject paste;

    EXPECT_FALSE(ownership.tryAcquire(nullptr));
    ASSERT_TRUE(ownership.tryAcquire(&fileManager));
    EXPECT_TRUE(ownership.tryAcquire(&fileManager)) << "the holder may ask again";
    EXPECT_FALSE(ownership.tryAcquire(&paste));
    EXPECT_TRUE(ownership.isHeldBy(&fileManager));
    EXPECT_FALSE(ownership.isHeldBy(&paste));

    ownership.release(&paste);
    EXPECT_TRUE(ownership.isHeldBy(&fileManager)) << "a non-holder's release changes nothing";

    ownership.release(&fileManager);
    EXPECT_FALSE(ownership.isHeld());
    EXPECT_TRUE(ownership.tryAcquire(&paste));
}

TEST(FileTransferOwnershipTest, ADestroyedHolderFreesTheToken)
{
    FileTransferOwnership ownership;
    auto dialog = std::make_unique<QObject>();
    ASSERT_TRUE(ownership.tryAcquire(dialog.get()));
    dialog.reset();

    EXPECT_FALSE(ownership.isHeld());
    QObject paste;
    EXPECT_TRUE(ownership.tryAcquire(&paste));
}
