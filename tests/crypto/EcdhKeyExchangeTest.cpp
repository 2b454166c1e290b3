#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include <openssl/evp.h>

#include "crypto/EcdhKeyExchange.h"
#include "support/Hex.h"
#include "support/LogCapture.h"

namespace veltrix {

// Builds key exchanges from fixed private scalars for the known-answer vectors.
class EcdhKeyExchangeTestPeer {
public:
    static std::unique_ptr<EcdhKeyExchange> withPrivateKey(const std::string& scalarHex) {
        const auto scalar = test::fromHex(scalarHex);
        return std::unique_ptr<EcdhKeyExchange>(new EcdhKeyExchange(scalar));
    }
};

namespace {

using test::fromHex;
using test::toHex;

// Computed by tests/crypto/vectors/make_vectors.py (python3-cryptography).
const std::string kPrivateA = "6a9a0d0b3ec49e0e1d7a5a4f5c2b7d1f8e0c3b2a19f8e7d6c5b4a39281706f5e";
const std::string kPrivateB = "1c4f3e2d5b6a79880fedcba98765432100112233445566778899aabbccddeeff";
const std::string kPublicA = "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAES1qFQs+d6qYIpdCuu3uHJB1GQYjKlidEyLwhAF8ONIh+BkJQvPFQMOmLoTAhZKFZCOMWZ1fWUn9H4xWf+8ncew==";
const std::string kPublicB = "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEc21pD33yrf5JBdObclZXg+gVi3iu1DHIBSJpOV0uBfAOwxmegQQXxQi6j0W9QNAkqpsVsV7RErsd/tse5KPnXA==";
const std::string kSharedSecret = "5ab2d3d9cf0221d4aab50d3188dbac6e8ca65ee7873fce02bc666a5e052e2a73";
const std::string kAesKey = "fdbdabea81b8fe22715f6eeacb1d6100adcd3ed3c464399e58cacba046ba7772";
const std::string kBaseIv = "735e1e08f6c4f3776a77be93";
const std::string kP384Public = "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAE+/lglZFetYc5D4UOyVs19hiuEhxypwgIrY+fTCYbYCtjVBdD45X3x3jlK7KMGNyDAWpv8/csk2gyatUKO9FIpTzSITu0gORzCtAZ24euEAmV7GXfAR4ZgRoV3J3fyas8";
const std::string kX25519Public = "MCowBQYDK2VuAyEAj0DFrbaPJWJK5bIU6nZ6bslNgp09e14a0bpvPiE4KF8=";

// The Base64 text of the key's DER bytes followed by `count` zero bytes.
std::string withTrailingBytes(const std::string& base64Key, int count) {
    std::string der(base64Key.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                                       reinterpret_cast<const unsigned char*>(base64Key.data()),
                                       static_cast<int>(base64Key.size()));
    // EVP_DecodeBlock counts the bytes the padding stands for; the DER length byte says the truth.
    der.resize(static_cast<std::size_t>(length) - (base64Key.ends_with("==") ? 2 : base64Key.ends_with("=") ? 1 : 0));
    der.append(static_cast<std::size_t>(count), '\0');
    std::string text(der.size() / 3 * 4 + 5, '\0');
    text.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                         reinterpret_cast<const unsigned char*>(der.data()),
                                                         static_cast<int>(der.size()))));
    return text;
}

// The same key spelled with a non-zero value in the bits that the "=" padding leaves unused.
std::string withUnusedBitsSet(std::string base64Key) {
    const std::size_t last = base64Key.find('=') - 1;
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    base64Key[last] = alphabet[alphabet.find(base64Key[last]) | 1];
    return base64Key;
}

class EcdhKeyExchangeTest : public ::testing::Test {
protected:
    test::LogCapture log;
};

TEST_F(EcdhKeyExchangeTest, FixedKeysGiveTheIndependentlyComputedMaterial) {
    auto a = EcdhKeyExchangeTestPeer::withPrivateKey(kPrivateA);
    auto b = EcdhKeyExchangeTestPeer::withPrivateKey(kPrivateB);
    EXPECT_EQ(a->publicKeyBase64(), kPublicA);
    EXPECT_EQ(b->publicKeyBase64(), kPublicB);

    ASSERT_TRUE(a->deriveSharedKey(kPublicB));
    ASSERT_TRUE(b->deriveSharedKey(kPublicA));
    EXPECT_EQ(toHex(a->aesKey()), kAesKey);
    EXPECT_EQ(toHex(a->baseIv()), kBaseIv);
    EXPECT_EQ(toHex(b->aesKey()), kAesKey);
    EXPECT_EQ(toHex(b->baseIv()), kBaseIv);
    EXPECT_TRUE(log.contains("EcdhKeyExchange: ECDH shared secret derived (32 bytes)"));

    EcdhKeyExchange raw;
    ASSERT_TRUE(raw.deriveKeyMaterial(fromHex(kSharedSecret)));
    EXPECT_EQ(toHex(raw.aesKey()), kAesKey);
    EXPECT_EQ(toHex(raw.baseIv()), kBaseIv);
}

TEST_F(EcdhKeyExchangeTest, FreshPairsAgreeAndAThirdKeyDiffers) {
    EcdhKeyExchange a, b, c;
    const std::string publicA = a.publicKeyBase64();
    EXPECT_EQ(publicA.size(), 124u);
    EXPECT_EQ(publicA.find_first_of("\r\n"), std::string::npos);

    ASSERT_TRUE(a.deriveSharedKey(b.publicKeyBase64()));
    ASSERT_TRUE(b.deriveSharedKey(publicA));
    EXPECT_EQ(a.aesKey(), b.aesKey());
    EXPECT_EQ(a.baseIv(), b.baseIv());
    EXPECT_EQ(a.aesKey().size(), 32u);
    EXPECT_EQ(a.baseIv().size(), 12u);

    ASSERT_TRUE(c.deriveSharedKey(publicA));
    EXPECT_NE(c.aesKey(), b.aesKey());
    EXPECT_NE(c.baseIv(), b.baseIv());
}

// Copies of key material handed out are buffers that wipe themselves when freed, so no caller
// can leave a key behind in freed memory.
static_assert(std::is_same_v<decltype(std::declval<const EcdhKeyExchange&>().aesKey()), crypto::SecureBytes>);
static_assert(std::is_same_v<decltype(std::declval<const EcdhKeyExchange&>().baseIv()), crypto::SecureBytes>);

TEST_F(EcdhKeyExchangeTest, KeyMaterialIsEmptyBeforeDerivation) {
    EcdhKeyExchange exchange;
    EXPECT_TRUE(exchange.aesKey().empty());
    EXPECT_TRUE(exchange.baseIv().empty());
    EXPECT_TRUE(log.contains("EcdhKeyExchange::aesKey: key not yet derived"));
    EXPECT_TRUE(log.contains("EcdhKeyExchange::baseIv: IV not yet derived"));
    EXPECT_FALSE(exchange.deriveSharedKey("not base64 at all!"));
    EXPECT_TRUE(exchange.aesKey().empty());
}

TEST_F(EcdhKeyExchangeTest, RefusesBadPeerKeysWithoutTouchingTheKeyMaterial) {
    std::string offCurve = kPublicB;
    offCurve[offCurve.size() - 4] = offCurve[offCurve.size() - 4] == 'A' ? 'B' : 'A';  // changes Y
    struct Case {
        std::string peer;
        std::string message;
    };
    const Case cases[] = {
        {"", "EcdhKeyExchange::deriveSharedKey: base64 decode of peer key failed"},
        {"%%%%", "EcdhKeyExchange::deriveSharedKey: base64 decode of peer key failed"},
        {std::string(10000, 'A'), "EcdhKeyExchange::deriveSharedKey: base64 decode of peer key failed"},
        {"aGVsbG8gd29ybGQ=", "EcdhKeyExchange::deriveSharedKey: d2i_PUBKEY failed: "},
        {kPublicB.substr(0, 80), "EcdhKeyExchange::deriveSharedKey: d2i_PUBKEY failed: "},
        {kP384Public, "EcdhKeyExchange::deriveSharedKey: peer key curve is 'secp384r1', expected 'prime256v1'"},
        {kX25519Public, "EcdhKeyExchange::deriveSharedKey: failed to get peer key curve: "},
        // OpenSSL already refuses a point off the curve while decoding the key.
        {offCurve, "EcdhKeyExchange::deriveSharedKey: d2i_PUBKEY failed: "},
        // A valid key with bytes behind it: 91 key bytes + "\x00\x00\x00" re-encoded.
        {withTrailingBytes(kPublicB, 3), "EcdhKeyExchange::deriveSharedKey: d2i_PUBKEY failed: 3 bytes after the key"},
        {withTrailingBytes(kPublicB, 1), "EcdhKeyExchange::deriveSharedKey: d2i_PUBKEY failed: 1 bytes after the key"},
        // Loose spellings of the valid key: blanks, line breaks, missing padding, a stray
        // character, padding in the middle, non-zero bits under the padding.
        {kPublicB.substr(0, 64) + "\n" + kPublicB.substr(64), "base64 decode of peer key failed"},
        {" " + kPublicB, "base64 decode of peer key failed"},
        {kPublicB + " ", "base64 decode of peer key failed"},
        {kPublicB.substr(0, kPublicB.size() - 2), "base64 decode of peer key failed"},
        {kPublicB + "!", "base64 decode of peer key failed"},
        {kPublicB.substr(0, 8) + "====" + kPublicB.substr(12), "base64 decode of peer key failed"},
        {withUnusedBitsSet(kPublicB), "base64 decode of peer key failed"},
    };
    auto local = EcdhKeyExchangeTestPeer::withPrivateKey(kPrivateA);
    ASSERT_TRUE(local->deriveSharedKey(kPublicB));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.peer);
        log.clear();
        EXPECT_FALSE(local->deriveSharedKey(c.peer));
        EXPECT_TRUE(log.contains(c.message)) << (log.lines().empty() ? "" : log.lines().back());
        EXPECT_EQ(toHex(local->aesKey()), kAesKey);
        EXPECT_EQ(toHex(local->baseIv()), kBaseIv);
    }
}

TEST_F(EcdhKeyExchangeTest, AFailedHkdfStepLeavesTheKeyMaterial) {
    EcdhKeyExchange exchange;
    ASSERT_TRUE(exchange.deriveKeyMaterial(fromHex(kSharedSecret)));
    EXPECT_FALSE(exchange.deriveKeyMaterial({}));  // HKDF refuses an empty key
    EXPECT_TRUE(log.contains("EcdhKeyExchange::deriveKeyMaterial: EVP_KDF_derive failed: "));
    EXPECT_EQ(toHex(exchange.aesKey()), kAesKey);
}

}  // namespace
}  // namespace veltrix
