#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>
#include <type_traits>
#include <utility>

#include <openssl/bn.h>
#include <openssl/obj_mac.h>
#include <openssl/ec.h>

#include "crypto/Spake2.h"
#include "support/Hex.h"
#include "support/LogCapture.h"

namespace veltrix {

// Fixed private scalars for the known-answer vectors, and read access to the stored points and the
// password scalar.
class Spake2TestPeer {
public:
    static std::unique_ptr<Spake2> withScalar(std::string_view password, SessionRole role,
                                              const std::string& scalarHex) {
        const auto scalar = test::fromHex(scalarHex);
        return std::unique_ptr<Spake2>(new Spake2(password, role, scalar));
    }
    static std::string passwordScalar(const Spake2& s) {
        std::uint8_t bytes[32];
        BN_bn2binpad(s.w_.get(), bytes, sizeof bytes);
        return test::toHex(bytes);
    }
    static std::string pointM(const Spake2& s) { return encode(s, s.m_.get()); }
    static std::string pointN(const Spake2& s) { return encode(s, s.n_.get()); }

    // The element w·U that cancels the receiver's unmasking, U being N for a Master receiver.
    static std::string maskCancellingElement(const Spake2& receiver) {
        const EC_POINT* unmask = receiver.role_ == SessionRole::Master ? receiver.n_.get() : receiver.m_.get();
        EC_POINT* point = EC_POINT_new(receiver.group_.get());
        EC_POINT_mul(receiver.group_.get(), point, nullptr, unmask, receiver.w_.get(), nullptr);
        const std::string hex = encode(receiver, point);
        EC_POINT_free(point);
        return hex;
    }

private:
    static std::string encode(const Spake2& s, const EC_POINT* point) {
        std::uint8_t bytes[65];
        EC_POINT_point2oct(s.group_.get(), point, POINT_CONVERSION_UNCOMPRESSED, bytes, sizeof bytes, nullptr);
        return test::toHex(bytes);
    }
};

namespace {

using test::fromHex;
using test::toHex;

// Computed by tests/crypto/vectors/make_vectors.py (python3-cryptography and Python integers).
const std::string kUncompressedM = "04886e2f97ace46e55ba9dd7242579f2993b64e16ef3dcab95afd497333d8fa12f5ff355163e43ce224e0b0e65ff02ac8e5c7be09419c785e0ca547d55a12e2d20";
const std::string kUncompressedN = "04d8bbd6c639c62937b04d997f38c3770719c629d7014d49a24b4f98baa1292b4907d60aa6bfade45008a636337f5168c64d9bd36034808cd564490b1e656edbe7";
const std::string kSessionId = "session-4242";
const std::string kPassword = "correct horse battery staple";
const std::string kOtherPassword = "Correct horse battery staple";
const std::string kMasterScalar = "2f1e3d5c7b9a8f6e4d3c2b1a0918273645546372819a8b7c6d5e4f3a2b1c0d9e";
const std::string kTargetScalar = "51a4e6c8b2d0f9e7c5a3b1d9f7e5c3a1b9d7f5e3c1a9b7d5f3e1c9a7b5d3f1e9";
const std::string kOtherTargetScalar = "0c0ffee0c0ffee0c0ffee0c0ffee0c0ffee0c0ffee0c0ffee0c0ffee0c0ffee0";
const std::string kPasswordScalar = "3b4beb5e45cb75f72b02e705410c8371dbc082aa2881d78e26ee07620ee3adbf";
const std::string kOtherPasswordScalar = "498116c9c3b73e3c208c3f15f6bdd6791160785f75c55046b6ba5713de77e9d8";
const std::string kMasterElement = "0448f079a5ca6888c460c43dd17d09414cf65fde367bae0e739166afa4399deff9ac582df16cb23d69f19158f90401e0ca9170bac34f1ab34491f250d7ce25a8cc";
const std::string kTargetElement = "0446bcd8d4d09916e89a53e7d321045ad27e717dbaa4ad23b3f5fe5b423265fad8cdd7e395c49db6ebd8dcb1429eb23eeecbee7209c3ed4385953be56400fa0879";
const std::string kOtherTargetElement = "04a92ac873cc6e56bbbc6e53e58f45335ad7bff4f89178b2058f137ab567921ac9cad9efb6c999fb881c17a120b5bbd411f4674a608ebd834d9b5577fa750af2cd";
const std::string kSharedSecret = "694087500cdf308235af05a82ba1f4e45a34606942cdea129ab5ee7b853544fd";
const std::string kConfirmation = "6c9fa58ef4e3baa6";
const std::string kMasterSecretWithOther = "769074a3cfa48e46e275381a2061206cd0b33f3c2a9f27f317f7ee2c34ae3ef1";
const std::string kOtherTargetSecret = "4313039c45b02839819de81d8dea8a927271834f895b0cd290b23e743e3f11fe";
const std::string kOtherTargetConfirmation = "b54343de150b17f4";

// The compressed forms RFC 9382 publishes.
const std::string kCompressedM = "02886e2f97ace46e55ba9dd7242579f2993b64e16ef3dcab95afd497333d8fa12f";
const std::string kCompressedN = "03d8bbd6c639c62937b04d997f38c3770719c629d7014d49a24b4f98baa1292b49";

std::string decompress(const std::string& compressedHex) {
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
    EC_POINT* point = EC_POINT_new(group);
    const auto compressed = fromHex(compressedHex);
    std::uint8_t out[65] = {};
    const bool ok = EC_POINT_oct2point(group, point, compressed.data(), compressed.size(), nullptr) == 1 &&
                    EC_POINT_point2oct(group, point, POINT_CONVERSION_UNCOMPRESSED, out, sizeof out, nullptr) == 65;
    EC_POINT_free(point);
    EC_GROUP_free(group);
    return ok ? toHex(out) : std::string();
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

class Spake2Test : public ::testing::Test {
protected:
    test::LogCapture log;
};

TEST_F(Spake2Test, StoredPointsAreThePublishedOnesUncompressed) {
    EXPECT_EQ(decompress(kCompressedM), kUncompressedM);
    EXPECT_EQ(decompress(kCompressedN), kUncompressedN);
    const Spake2 spake(kPassword, SessionRole::Master);
    EXPECT_EQ(Spake2TestPeer::pointM(spake), kUncompressedM);
    EXPECT_EQ(Spake2TestPeer::pointN(spake), kUncompressedN);
}

// The shared secret is handed out in a buffer that wipes itself when freed.
static_assert(std::is_same_v<decltype(std::declval<Spake2&>().computeSharedSecret("")), crypto::SecureBytes>);

TEST_F(Spake2Test, FixedScalarsGiveTheIndependentlyComputedValues) {
    auto master = Spake2TestPeer::withScalar(kPassword, SessionRole::Master, kMasterScalar);
    auto target = Spake2TestPeer::withScalar(kPassword, SessionRole::Target, kTargetScalar);
    EXPECT_EQ(Spake2TestPeer::passwordScalar(*master), kPasswordScalar);
    EXPECT_EQ(master->elementHex(), kMasterElement);
    EXPECT_EQ(target->elementHex(), kTargetElement);

    EXPECT_EQ(toHex(master->computeSharedSecret(kTargetElement)), kSharedSecret);
    EXPECT_EQ(toHex(target->computeSharedSecret(kMasterElement)), kSharedSecret);
    EXPECT_EQ(Spake2::computeConfirmation(fromHex(kSharedSecret), kSessionId), kConfirmation);

    // A Target with another password: each side gets its own, different secret.
    auto other = Spake2TestPeer::withScalar(kOtherPassword, SessionRole::Target, kOtherTargetScalar);
    EXPECT_EQ(Spake2TestPeer::passwordScalar(*other), kOtherPasswordScalar);
    EXPECT_EQ(other->elementHex(), kOtherTargetElement);
    EXPECT_EQ(toHex(other->computeSharedSecret(kMasterElement)), kOtherTargetSecret);
    EXPECT_EQ(toHex(master->computeSharedSecret(kOtherTargetElement)), kMasterSecretWithOther);
    EXPECT_EQ(Spake2::computeConfirmation(fromHex(kOtherTargetSecret), kSessionId), kOtherTargetConfirmation);

    // Uppercase digits are fine for the arithmetic.
    EXPECT_EQ(toHex(master->computeSharedSecret(upper(kTargetElement))), kSharedSecret);
}

TEST_F(Spake2Test, OnlyAMasterAndATargetWithTheSamePasswordAgree) {
    Spake2 master(kPassword, SessionRole::Master);
    Spake2 target(kPassword, SessionRole::Target);
    const auto masterSecret = master.computeSharedSecret(target.elementHex());
    ASSERT_EQ(masterSecret.size(), 32u);
    EXPECT_EQ(masterSecret, target.computeSharedSecret(master.elementHex()));

    Spake2 wrong(kOtherPassword, SessionRole::Target);
    EXPECT_NE(master.computeSharedSecret(wrong.elementHex()), wrong.computeSharedSecret(master.elementHex()));

    Spake2 secondTarget(kPassword, SessionRole::Target);
    EXPECT_NE(target.computeSharedSecret(secondTarget.elementHex()),
              secondTarget.computeSharedSecret(target.elementHex()));
    Spake2 secondMaster(kPassword, SessionRole::Master);
    EXPECT_NE(master.computeSharedSecret(secondMaster.elementHex()),
              secondMaster.computeSharedSecret(master.elementHex()));

    // Fresh scalars: the same password never gives the same element twice.
    EXPECT_NE(master.elementHex(), secondMaster.elementHex());
}

TEST_F(Spake2Test, ThePasswordIsUsedByteForByte) {
    const std::string variants[] = {"secret", " secret", "secret ", "Secret", "SECRET", std::string("secret\0", 7)};
    std::set<std::string> scalars;
    for (const auto& password : variants)
        scalars.insert(Spake2TestPeer::passwordScalar(Spake2(password, SessionRole::Master)));
    EXPECT_EQ(scalars.size(), std::size(variants));
}

TEST_F(Spake2Test, RefusesMalformedPeerElements) {
    std::string offCurve = kTargetElement;
    offCurve.back() = offCurve.back() == '0' ? '1' : '0';
    std::string compressedPrefix = kTargetElement;
    compressedPrefix[1] = '2';
    struct Case {
        std::string element;
        std::string message;
    };
    const Case cases[] = {
        {kTargetElement.substr(0, 129), "Spake2: peer element wrong size/format"},
        {kTargetElement + "0", "Spake2: peer element wrong size/format"},
        {kTargetElement.substr(0, 128), "Spake2: peer element wrong size/format"},
        {kTargetElement + "00", "Spake2: peer element wrong size/format"},
        {"", "Spake2: peer element wrong size/format"},
        {"g" + kTargetElement.substr(1), "Spake2: peer element wrong size/format"},
        {" " + kTargetElement.substr(1), "Spake2: peer element wrong size/format"},
        {offCurve, "Spake2: peer element is not a valid curve point"},
        {compressedPrefix, "Spake2: peer element is not a valid curve point"},
        {std::string(130, '0'), "Spake2: peer element is not a valid curve point"},
    };
    Spake2 master(kPassword, SessionRole::Master);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.element);
        log.clear();
        EXPECT_TRUE(master.computeSharedSecret(c.element).empty());
        EXPECT_TRUE(log.contains(c.message));
    }
    // The object stays usable.
    Spake2 target(kPassword, SessionRole::Target);
    EXPECT_EQ(master.computeSharedSecret(target.elementHex()), target.computeSharedSecret(master.elementHex()));
}

TEST_F(Spake2Test, AnElementThatCancelsTheMaskGivesNoSecret) {
    // peer = w·N makes peer − w·N the identity, so K would be the identity whatever x is.
    Spake2 master(kPassword, SessionRole::Master);
    EXPECT_TRUE(master.computeSharedSecret(Spake2TestPeer::maskCancellingElement(master)).empty());
    EXPECT_TRUE(log.contains("Spake2: shared-secret computation failed"));
}

TEST_F(Spake2Test, ConfirmationOfAnEmptySecretIsEmpty) {
    EXPECT_EQ(Spake2::computeConfirmation({}, kSessionId), "");
    EXPECT_NE(Spake2::computeConfirmation(fromHex(kSharedSecret), "session-4243"), kConfirmation);
}

TEST_F(Spake2Test, EncodesCandidateListsCompactlyInKeyOrder) {
    const std::string list = Spake2::encodeCandidateList({kTargetElement, kOtherTargetElement},
                                                         {kConfirmation, kOtherTargetConfirmation});
    EXPECT_EQ(list, R"({"c":[")" + kConfirmation + R"(",")" + kOtherTargetConfirmation + R"("],"e":[")" +
                        kTargetElement + R"(",")" + kOtherTargetElement + R"("],"v":2})");

    Spake2CandidateList pairs;
    bool plain = true;
    ASSERT_TRUE(Spake2::decodeCandidateList(list, pairs, plain));
    EXPECT_FALSE(plain);
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0], std::make_pair(kTargetElement, kConfirmation));
    EXPECT_EQ(pairs[1], std::make_pair(kOtherTargetElement, kOtherTargetConfirmation));

    EXPECT_EQ(Spake2::encodeCandidateList({kTargetElement}, {kConfirmation}), "");
    EXPECT_EQ(Spake2::encodeCandidateList({kTargetElement, kOtherTargetElement}, {kConfirmation}), "");
    EXPECT_EQ(Spake2::encodeCandidateList({}, {}), "");
}

TEST_F(Spake2Test, DecodesOnlyWellFormedCandidateLists) {
    const std::string e = kTargetElement;
    const std::string c = kConfirmation;
    const auto list = [](const std::string& v, const std::string& es, const std::string& cs) {
        return R"({"v":)" + v + R"(,"e":[)" + es + R"(],"c":[)" + cs + "]}";
    };
    const auto q = [](const std::string& s) { return "\"" + s + "\""; };
    std::string nine, nineC;
    for (int i = 0; i < 9; ++i) {
        nine += (i ? "," : "") + q(e);
        nineC += (i ? "," : "") + q(c);
    }
    std::string eight = nine.substr(0, nine.rfind(',')), eightC = nineC.substr(0, nineC.rfind(','));

    struct Case {
        std::string name;
        std::string text;
        bool ok;
        bool plain;
        std::size_t count;
    };
    const Case cases[] = {
        {"bare element", e, true, true, 1},
        {"one-entry list", list("2", q(e), q(c)), true, false, 1},
        {"eight entries", list("2", eight, eightC), true, false, 8},
        {"list after blanks", "  \n" + list("2", q(e), q(c)), true, false, 1},
        {"list with extra members", R"({"x":1,"v":2,"e":[)" + q(e) + R"(],"c":[)" + q(c) + "]}", true, false, 1},
        {"empty text", "", false, false, 0},
        {"blanks only", " \t\n", false, false, 0},
        {"bare element with a leading blank", " " + e, false, false, 0},
        {"bare element with a trailing blank", e + " ", false, false, 0},
        {"bare element in uppercase", upper(e), false, false, 0},
        {"bare element of 129 characters", e.substr(1), false, false, 0},
        {"version 2.0", list("2.0", q(e), q(c)), false, false, 0},
        {"version 3", list("3", q(e), q(c)), false, false, 0},
        {"version as text", list("\"2\"", q(e), q(c)), false, false, 0},
        {"version missing", R"({"e":[)" + q(e) + R"(],"c":[)" + q(c) + "]}", false, false, 0},
        {"nine entries", list("2", nine, nineC), false, false, 0},
        {"empty arrays", list("2", "", ""), false, false, 0},
        {"arrays of different length", list("2", q(e) + "," + q(e), q(c)), false, false, 0},
        {"element of 128 characters", list("2", q(e.substr(0, 128)), q(c)), false, false, 0},
        {"element in uppercase", list("2", q(upper(e)), q(c)), false, false, 0},
        {"confirmation in uppercase", list("2", q(e), q(upper("6c9fa58ef4e3baa6"))), false, false, 0},
        {"confirmation of 15 characters", list("2", q(e), q(c.substr(1))), false, false, 0},
        {"entry not a string", list("2", "1", q(c)), false, false, 0},
        {"e not an array", R"({"v":2,"e":)" + q(e) + R"(,"c":[)" + q(c) + "]}", false, false, 0},
        {"not an object", "{", false, false, 0},
        {"trailing garbage", list("2", q(e), q(c)) + "x", false, false, 0},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        Spake2CandidateList pairs;
        bool plain = !t.plain;
        EXPECT_EQ(Spake2::decodeCandidateList(t.text, pairs, plain), t.ok);
        if (!t.ok) continue;
        EXPECT_EQ(plain, t.plain);
        ASSERT_EQ(pairs.size(), t.count);
        EXPECT_EQ(pairs[0].first, e);
        EXPECT_EQ(pairs[0].second, t.plain ? "" : c);
    }
}

TEST_F(Spake2Test, AMasterFindsTheMatchingCandidateByItsConfirmation) {
    // The Target offers its secure password first and its one-time password second; the Master
    // typed the one-time password.
    Spake2 master(kPassword, SessionRole::Master);
    Spake2 secure(kOtherPassword, SessionRole::Target);
    Spake2 oneTime(kPassword, SessionRole::Target);
    std::vector<std::string> elements, confirmations;
    for (Spake2* candidate : {&secure, &oneTime}) {
        elements.push_back(candidate->elementHex());
        confirmations.push_back(
            Spake2::computeConfirmation(candidate->computeSharedSecret(master.elementHex()), kSessionId));
    }

    Spake2CandidateList pairs;
    bool plain = false;
    ASSERT_TRUE(Spake2::decodeCandidateList(Spake2::encodeCandidateList(elements, confirmations), pairs, plain));
    std::size_t matched = pairs.size();
    for (std::size_t j = 0; j < pairs.size() && matched == pairs.size(); ++j) {
        const auto secret = master.computeSharedSecret(pairs[j].first);
        if (Spake2::computeConfirmation(secret, kSessionId) == pairs[j].second) matched = j;
    }
    EXPECT_EQ(matched, 1u);
}

TEST_F(Spake2Test, RefusesARoleThatIsNeither) {
    EXPECT_THROW(Spake2(kPassword, SessionRole::None), std::runtime_error);
}

}  // namespace
}  // namespace veltrix
