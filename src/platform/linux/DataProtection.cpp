#include "platform/DataProtection.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "platform/InstancePaths.h"
#include "platform/linux/FileDescriptor.h"

namespace veltrix::platform::protection {
namespace fs = std::filesystem;
namespace {

constexpr std::uint8_t kVersion = 1;
constexpr std::size_t kKeySize = 32;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kOverhead = 1 + kNonceSize + kTagSize;
// Sealed data stays far below the int lengths of the cipher interface.
constexpr qsizetype kMaxDataSize = 64 * 1024 * 1024;

// The machine key, wiped when it goes out of scope.
struct MachineKey {
    std::array<unsigned char, kKeySize> bytes{};
    ~MachineKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

using FileDescriptor = detail::FileDescriptor;

bool fail(SystemError& error, int code) {
    error.code = code;
    return false;
}

std::nullopt_t failure(SystemError& error, int code) {
    error.code = code;
    return std::nullopt;
}

bool readExactly(int fd, unsigned char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, out + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;  // the file ended early
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeExactly(int fd, const unsigned char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads the key file. It must be a regular file (links are not followed) of exactly 32 bytes,
// owned by root or by this account, that nobody but its owner may write: a key that another
// account could have replaced would let that account read every secret sealed afterwards.
bool loadKey(const fs::path& path, MachineKey& key, SystemError& error) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return fail(error, errno);
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0) return fail(error, errno);
    if (!S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kKeySize)) return fail(error, EINVAL);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (st.st_uid != 0 && st.st_uid != ::geteuid())) {
        return fail(error, EPERM);
    }
    if (!readExactly(fd.get(), key.bytes.data(), key.bytes.size())) return fail(error, errno);
    return true;
}

// Creates the key file atomically: the key is written to a private temporary file that is then
// linked under the final name, so a reader never sees a partial key and two processes racing to
// create it end up sharing the one that was linked first.
bool createKey(const fs::path& path, MachineKey& key, SystemError& error) {
    errno = 0;
    if (!paths::ensureDirectory(path.parent_path(), 0755)) return fail(error, errno ? errno : EACCES);
    if (RAND_bytes(key.bytes.data(), static_cast<int>(key.bytes.size())) != 1) return fail(error, EIO);

    std::string temporary = path.string() + ".XXXXXX";
    const FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0) return fail(error, errno);
    errno = 0;
    const bool written = writeExactly(fd.get(), key.bytes.data(), key.bytes.size()) &&
                         ::fchmod(fd.get(), 0644) == 0 && ::fsync(fd.get()) == 0;
    const int writeError = errno;
    if (!written) {
        ::unlink(temporary.c_str());
        return fail(error, writeError ? writeError : EIO);
    }
    const bool linked = ::link(temporary.c_str(), path.c_str()) == 0;
    const int linkError = errno;
    ::unlink(temporary.c_str());
    if (!linked) {
        if (linkError == EEXIST) return loadKey(path, key, error);
        return fail(error, linkError);
    }
    const FileDescriptor dir(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return true;
}

// The associated data: the version byte and the entropy, so neither can be changed or dropped.
bool addAssociatedData(EVP_CIPHER_CTX* ctx, bool encrypt, const QByteArray& entropy) {
    int length = 0;
    const unsigned char version = kVersion;
    auto update = encrypt ? EVP_EncryptUpdate : EVP_DecryptUpdate;
    if (update(ctx, nullptr, &length, &version, 1) != 1) return false;
    if (entropy.isEmpty()) return true;
    return update(ctx, nullptr, &length, reinterpret_cast<const unsigned char*>(entropy.constData()),
                  static_cast<int>(entropy.size())) == 1;
}

}  // namespace

fs::path machineKeyPath() { return paths::commonDataDir() / "Veltrix" / "Protect" / "machine.key"; }

std::optional<QByteArray> protect(const QByteArray& data, const QByteArray& entropy, SystemError& error) {
    if (data.size() > kMaxDataSize || entropy.size() > kMaxDataSize) return failure(error, EINVAL);
    MachineKey key;
    const fs::path path = machineKeyPath();
    if (!loadKey(path, key, error)) {
        if (error.code != ENOENT || !createKey(path, key, error)) return std::nullopt;
    }

    QByteArray blob(static_cast<qsizetype>(kOverhead) + data.size(), Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(blob.data());
    out[0] = kVersion;
    unsigned char* nonce = out + 1;
    unsigned char* cipherText = nonce + kNonceSize;
    unsigned char* tag = cipherText + data.size();
    if (RAND_bytes(nonce, kNonceSize) != 1) return failure(error, EIO);

    const CipherContext ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    const bool ok =
        ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes.data(), nonce) == 1 &&
        addAssociatedData(ctx.get(), true, entropy) &&
        EVP_EncryptUpdate(ctx.get(), cipherText, &length, reinterpret_cast<const unsigned char*>(data.constData()),
                          static_cast<int>(data.size())) == 1 &&
        EVP_EncryptFinal_ex(ctx.get(), cipherText + length, &length) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) == 1;
    if (!ok) return failure(error, EIO);
    return blob;
}

std::optional<QByteArray> unprotect(const QByteArray& blob, const QByteArray& entropy, SystemError& error) {
    const auto* in = reinterpret_cast<const unsigned char*>(blob.constData());
    constexpr auto overhead = static_cast<qsizetype>(kOverhead);
    if (blob.size() < overhead || blob.size() > kMaxDataSize + overhead ||
        in[0] != kVersion || entropy.size() > kMaxDataSize) {
        return failure(error, EBADMSG);
    }
    MachineKey key;
    if (!loadKey(machineKeyPath(), key, error)) return std::nullopt;

    const unsigned char* nonce = in + 1;
    const unsigned char* cipherText = nonce + kNonceSize;
    const int cipherSize = static_cast<int>(blob.size() - overhead);
    const unsigned char* tag = cipherText + cipherSize;

    QByteArray clear(cipherSize, Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(clear.data());
    const CipherContext ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes.data(), nonce) != 1 ||
        !addAssociatedData(ctx.get(), false, entropy) ||
        EVP_DecryptUpdate(ctx.get(), out, &length, cipherText, cipherSize) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, const_cast<unsigned char*>(tag)) != 1) {
        OPENSSL_cleanse(clear.data(), clear.size());
        return failure(error, EIO);
    }
    int finalLength = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), out + length, &finalLength) != 1) {
        // Another key, other entropy, or altered bytes: the tag does not match.
        OPENSSL_cleanse(clear.data(), clear.size());
        return failure(error, EBADMSG);
    }
    return clear;
}

}  // namespace veltrix::platform::protection
