#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/DataProtection.h"
#include "support/TempInstanceRoot.h"

namespace veltrix::platform {
namespace {
namespace fs = std::filesystem;

const QByteArray kEntropy =
    QByteArray::fromHex("56656c747269782d656e74726f7079373c9e51a07b28d4f6e0a91c3b5d7f2648");

class DataProtectionTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;
    SystemError error;

    QByteArray seal(const QByteArray& data, const QByteArray& entropy = kEntropy) {
        auto blob = protection::protect(data, entropy, error);
        EXPECT_TRUE(blob) << error.text();
        return blob.value_or(QByteArray());
    }

    void writeKey(const QByteArray& bytes, fs::perms mode = fs::perms(0644)) {
        fs::create_directories(protection::machineKeyPath().parent_path());
        std::ofstream(protection::machineKeyPath(), std::ios::binary).write(bytes.constData(), bytes.size());
        fs::permissions(protection::machineKeyPath(), mode);
    }
};

TEST_F(DataProtectionTest, RoundTripsWithAndWithoutEntropy) {
    for (const QByteArray& entropy : {kEntropy, QByteArray()}) {
        const QByteArray data("device-secret-42");
        const QByteArray blob = seal(data, entropy);
        EXPECT_EQ(blob.size(), data.size() + 29);
        EXPECT_EQ(blob.at(0), 1);
        EXPECT_FALSE(blob.contains(data));
        EXPECT_NE(seal(data, entropy), blob) << "every seal takes a fresh nonce";
        EXPECT_EQ(protection::unprotect(blob, entropy, error).value_or("?"), data);
    }
    EXPECT_EQ(protection::unprotect(seal(QByteArray()), kEntropy, error).value_or("?"), QByteArray());
}

// Blobs made with an independent AES-GCM implementation under a known key and nonce: the version
// byte and the entropy are the associated data.
TEST_F(DataProtectionTest, OpensBlobsOfAnIndependentImplementation) {
    QByteArray key;
    for (char i = 0; i < 32; ++i) key.append(i);
    writeKey(key);
    const QByteArray withEntropy = QByteArray::fromHex(
        "01000102030405060708090a0b2367a072a680ef68e822e5eec5c44c5f1846dc8a184c74989a48800b64bcdef9");
    const QByteArray withoutEntropy = QByteArray::fromHex(
        "01000102030405060708090a0b2367a072a680ef68e822e5eec5c44c5f799cd5f98ddd59355ceccb23e0222a5a");
    EXPECT_EQ(protection::unprotect(withEntropy, kEntropy, error).value_or("?"), "device-secret-42");
    EXPECT_EQ(protection::unprotect(withoutEntropy, {}, error).value_or("?"), "device-secret-42");
    EXPECT_FALSE(protection::unprotect(withEntropy, {}, error));
    EXPECT_EQ(error.code, EBADMSG);
    EXPECT_FALSE(protection::unprotect(withoutEntropy, kEntropy, error));
}

TEST_F(DataProtectionTest, TheEntropyIsBoundIn) {
    const QByteArray blob = seal("secret");
    for (const QByteArray& other : {QByteArray(), QByteArray("other"), kEntropy.left(31)}) {
        error = {};
        EXPECT_FALSE(protection::unprotect(blob, other, error));
        EXPECT_EQ(error.code, EBADMSG);
    }
}

TEST_F(DataProtectionTest, AnAlteredOrMalformedBlobDoesNotOpen) {
    const QByteArray blob = seal("secret");
    for (qsizetype i = 0; i < blob.size(); ++i) {
        QByteArray altered = blob;
        altered[i] = static_cast<char>(altered[i] ^ 0x01);
        EXPECT_FALSE(protection::unprotect(altered, kEntropy, error)) << "byte " << i;
    }
    for (const QByteArray& malformed : {QByteArray(), blob.left(28), blob.left(blob.size() - 1), blob + "x"}) {
        error = {};
        EXPECT_FALSE(protection::unprotect(malformed, kEntropy, error));
        EXPECT_EQ(error.code, EBADMSG);
    }
}

TEST_F(DataProtectionTest, TheMachineKeyIsMadeOnFirstSealReadableByEveryAccount) {
    EXPECT_FALSE(protection::unprotect(QByteArray(40, '\1'), kEntropy, error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_FALSE(fs::exists(protection::machineKeyPath())) << "opening never creates a key";

    seal("secret");
    struct stat st{};
    ASSERT_EQ(stat(protection::machineKeyPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 32);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, geteuid());
    ASSERT_EQ(stat(protection::machineKeyPath().parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(protection::machineKeyPath().parent_path()), {}), 1);
}

TEST_F(DataProtectionTest, ABlobFromAnotherMachineDoesNotOpen) {
    const QByteArray blob = seal("secret");
    test::TempInstanceRoot otherMachine;
    EXPECT_FALSE(protection::unprotect(blob, kEntropy, error));
    EXPECT_EQ(error.code, ENOENT);
    seal("its own secret");
    EXPECT_FALSE(protection::unprotect(blob, kEntropy, error));
    EXPECT_EQ(error.code, EBADMSG);
}

TEST_F(DataProtectionTest, AnUnusableKeyIsAProtectionFailureAndIsKept) {
    const QByteArray good(32, 'k');
    const struct {
        const char* name;
        std::function<void()> spoil;
        int expected;
    } cases[] = {
        {"short key", [&] { writeKey(QByteArray(31, 'k')); }, EINVAL},
        {"long key", [&] { writeKey(QByteArray(33, 'k')); }, EINVAL},
        {"world-writable key", [&] { writeKey(good, fs::perms(0646)); }, EPERM},
        {"group-writable key", [&] { writeKey(good, fs::perms(0664)); }, EPERM},
        {"key is a folder", [&] { fs::create_directories(protection::machineKeyPath()); }, EINVAL},
        {"key is a link",
         [&] {
             fs::create_directories(protection::machineKeyPath().parent_path());
             std::ofstream(root.path() / "elsewhere") << std::string(32, 'k');
             fs::create_symlink(root.path() / "elsewhere", protection::machineKeyPath());
         },
         ELOOP},
        {"folder cannot be made",
         [&] {
             fs::create_directories(protection::machineKeyPath().parent_path().parent_path());
             std::ofstream(protection::machineKeyPath().parent_path()) << "a file in the way";
         },
         ENOTDIR},
    };
    for (const auto& c : cases) {
        test::TempInstanceRoot fresh;
        c.spoil();
        const auto before = fs::symlink_status(protection::machineKeyPath()).type();
        error = {};
        EXPECT_FALSE(protection::protect("secret", kEntropy, error)) << c.name;
        EXPECT_EQ(error.code, c.expected) << c.name;
        EXPECT_EQ(fs::symlink_status(protection::machineKeyPath()).type(), before) << c.name << ": key replaced";
    }
}

TEST_F(DataProtectionTest, ProcessesRacingToMakeTheKeyShareOne) {
    constexpr int kThreads = 8;
    std::vector<QByteArray> blobs(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&blobs, i] {
            SystemError e;
            blobs[i] = protection::protect(QByteArray::number(i), kEntropy, e).value_or(QByteArray());
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(protection::unprotect(blobs[i], kEntropy, error).value_or("?"), QByteArray::number(i));
    }
}

}  // namespace
}  // namespace veltrix::platform
