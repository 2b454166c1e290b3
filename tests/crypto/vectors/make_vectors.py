#!/usr/bin/python3
"""Known-answer vectors for the session crypto and the input-event binary form.

Computed with Debian's python3-cryptography and plain Python integers, independently of the C++
code under test. Prints C++ constants; paste the blocks into the tests they name:

    /usr/bin/python3 tests/crypto/vectors/make_vectors.py

The P-256 point arithmetic needed for the password exchange is written out below (affine
coordinates, Python integers) and cross-checked against the cryptography package before use.
"""

import base64
import hashlib
import struct

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, x25519
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF


def hkdf_sha256(key: bytes, salt: bytes, info: bytes, length: int) -> bytes:
    return HKDF(algorithm=hashes.SHA256(), length=length, salt=salt, info=info).derive(key)


def cxx_bytes(name: str, data: bytes) -> str:
    return f'const std::string {name} = "{data.hex()}";'


def cxx_text(name: str, text: str) -> str:
    return f'const std::string {name} = "{text}";'


# --- Packet protection ------------------------------------------------------------------------

def packet_vectors():
    key = bytes.fromhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4")
    base_iv = bytes.fromhex("cafebabefacedbaddecaf888")
    context = b"session-4242"
    extra_salt = bytes.fromhex("a1" * 16 + "5c" * 16)
    salt = base_iv + extra_salt

    def schedule(label: bytes, salt_bytes: bytes):
        out = hkdf_sha256(key, salt_bytes, label + b"|" + context, 44)
        return out[:32], out[32:]

    def seal(k: bytes, iv: bytes, counter: int, plaintext: bytes) -> bytes:
        ctr = struct.pack("<Q", counter)
        nonce = bytes(a ^ b for a, b in zip(iv[:8], ctr)) + iv[8:]
        sealed = AESGCM(k).encrypt(nonce, plaintext, None)
        ciphertext, tag = sealed[:-16], sealed[-16:]
        return ctr + tag + ciphertext

    m2t_key, m2t_iv = schedule(b"veltrix-m2t-v2", salt)
    t2m_key, t2m_iv = schedule(b"veltrix-t2m-v2", salt)
    nosalt_key, nosalt_iv = schedule(b"veltrix-m2t-v2", base_iv)

    plaintext = b"\x02key frame, please"
    lines = ["// AesGcmCipherTest.cpp", cxx_bytes("kKey", key), cxx_bytes("kBaseIv", base_iv),
             cxx_text("kContext", context.decode()), cxx_bytes("kExtraSalt", extra_salt),
             cxx_bytes("kMasterToTargetKey", m2t_key), cxx_bytes("kMasterToTargetIv", m2t_iv),
             cxx_bytes("kTargetToMasterKey", t2m_key), cxx_bytes("kTargetToMasterIv", t2m_iv),
             cxx_bytes("kUnsaltedMasterToTargetKey", nosalt_key),
             cxx_bytes("kUnsaltedMasterToTargetIv", nosalt_iv),
             cxx_bytes("kPlaintext", plaintext),
             cxx_bytes("kMasterPacket0", seal(m2t_key, m2t_iv, 0, plaintext)),
             cxx_bytes("kMasterPacket1", seal(m2t_key, m2t_iv, 1, plaintext)),
             cxx_bytes("kTargetPacket0", seal(t2m_key, t2m_iv, 0, plaintext)),
             cxx_bytes("kTargetEmptyPacket0", seal(t2m_key, t2m_iv, 0, b"")),
             cxx_bytes("kMasterPacketHighCounter",
                       seal(m2t_key, m2t_iv, 0x0102030405060708, plaintext))]
    return lines


# --- Key agreement ----------------------------------------------------------------------------

def spki_base64(public_key) -> str:
    der = public_key.public_bytes(serialization.Encoding.DER,
                                  serialization.PublicFormat.SubjectPublicKeyInfo)
    return base64.b64encode(der).decode()


def ecdh_vectors():
    a = 0x6a9a0d0b3ec49e0e1d7a5a4f5c2b7d1f8e0c3b2a19f8e7d6c5b4a39281706f5e
    b = 0x1c4f3e2d5b6a79880fedcba98765432100112233445566778899aabbccddeeff
    key_a = ec.derive_private_key(a, ec.SECP256R1())
    key_b = ec.derive_private_key(b, ec.SECP256R1())
    secret = key_a.exchange(ec.ECDH(), key_b.public_key())
    assert secret == key_b.exchange(ec.ECDH(), key_a.public_key())
    material = hkdf_sha256(secret, bytes(32), b"veltrix-session-key-v1", 44)
    p384 = ec.derive_private_key(0x1234567890abcdef, ec.SECP384R1())
    x25519_key = x25519.X25519PrivateKey.from_private_bytes(bytes(range(32)))
    return ["// EcdhKeyExchangeTest.cpp",
            cxx_bytes("kPrivateA", a.to_bytes(32, "big")),
            cxx_bytes("kPrivateB", b.to_bytes(32, "big")),
            cxx_text("kPublicA", spki_base64(key_a.public_key())),
            cxx_text("kPublicB", spki_base64(key_b.public_key())),
            cxx_bytes("kSharedSecret", secret),
            cxx_bytes("kAesKey", material[:32]),
            cxx_bytes("kBaseIv", material[32:]),
            cxx_text("kP384Public", spki_base64(p384.public_key())),
            cxx_text("kX25519Public", spki_base64(x25519_key.public_key()))]


# --- Password authentication ------------------------------------------------------------------

P = 0xffffffff00000001000000000000000000000000ffffffffffffffffffffffff
A = P - 3
B = 0x5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b
N_ORDER = 0xffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551
G = (0x6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296,
     0x4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5)


def on_curve(pt) -> bool:
    x, y = pt
    return (y * y - (x * x * x + A * x + B)) % P == 0


def add(p1, p2):
    if p1 is None:
        return p2
    if p2 is None:
        return p1
    (x1, y1), (x2, y2) = p1, p2
    if x1 == x2 and (y1 + y2) % P == 0:
        return None
    if p1 == p2:
        lam = (3 * x1 * x1 + A) * pow(2 * y1, -1, P) % P
    else:
        lam = (y2 - y1) * pow(x2 - x1, -1, P) % P
    x3 = (lam * lam - x1 - x2) % P
    return x3, (lam * (x1 - x3) - y1) % P


def mul(k: int, pt):
    result = None
    while k:
        if k & 1:
            result = add(result, pt)
        pt = add(pt, pt)
        k >>= 1
    return result


def neg(pt):
    return pt[0], (-pt[1]) % P


def decompress(hex_text: str):
    raw = bytes.fromhex(hex_text)
    x = int.from_bytes(raw[1:], "big")
    y = pow((x ** 3 + A * x + B) % P, (P + 1) // 4, P)
    if y % 2 != raw[0] % 2:
        y = P - y
    pt = (x, y)
    assert on_curve(pt)
    # The cryptography package must agree on the decompressed point.
    key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), raw)
    assert (key.public_numbers().x, key.public_numbers().y) == pt
    return pt


def encode(pt) -> bytes:
    return b"\x04" + pt[0].to_bytes(32, "big") + pt[1].to_bytes(32, "big")


def check_arithmetic():
    for k in (1, 2, 3, 0xdeadbeef, N_ORDER - 1, 0x7f3e5d1c9b2a4f6e8d0c1b3a5f7e9d2c4b6a8f0e1d3c5b7a9f2e4d6c8b0a1f3e):
        numbers = ec.derive_private_key(k, ec.SECP256R1()).public_key().public_numbers()
        assert mul(k, G) == (numbers.x, numbers.y), k
    assert mul(N_ORDER, G) is None


def password_scalar(password: bytes) -> int:
    digest = hashlib.sha512(b"Veltrix-SPAKE2-pw-v1" + b"\x00" + password).digest()
    return int.from_bytes(digest, "big") % N_ORDER


def lp(data: bytes) -> bytes:
    return struct.pack("<Q", len(data)) + data


def spake_vectors():
    check_arithmetic()
    M = decompress("02886e2f97ace46e55ba9dd7242579f2993b64e16ef3dcab95afd497333d8fa12f")
    N = decompress("03d8bbd6c639c62937b04d997f38c3770719c629d7014d49a24b4f98baa1292b49")

    session_id = b"session-4242"
    password = "correct horse battery staple".encode()
    other_password = "Correct horse battery staple".encode()
    x = 0x2f1e3d5c7b9a8f6e4d3c2b1a0918273645546372819a8b7c6d5e4f3a2b1c0d9e
    y = 0x51a4e6c8b2d0f9e7c5a3b1d9f7e5c3a1b9d7f5e3c1a9b7d5f3e1c9a7b5d3f1e9
    z = 0x0c0ffee0c0ffee0c0ffee0c0ffee0c0ffee0c0ffee0c0ffee0c0ffee0c0ffee0

    def element(scalar, w, mask):
        return add(mul(scalar, G), mul(w, mask))

    def secret(own_scalar, w, peer, unmask, pa, pb):
        k_point = mul(own_scalar, add(peer, neg(mul(w, unmask))))
        tt = (lp(b"Veltrix-master") + lp(b"Veltrix-target") + lp(encode(M)) + lp(encode(N)) +
              lp(encode(pa)) + lp(encode(pb)) + lp(encode(k_point)) + lp(w.to_bytes(32, "big")))
        return hashlib.sha256(tt).digest()

    def confirmation(shared: bytes) -> str:
        return hashlib.sha256(b"Veltrix-spake-confirm-v1" + session_id + shared).digest()[:8].hex()

    w = password_scalar(password)
    w_other = password_scalar(other_password)
    master = element(x, w, M)
    target = element(y, w, N)
    target_other = element(z, w_other, N)

    master_secret = secret(x, w, target, N, master, target)
    target_secret = secret(y, w, master, M, master, target)
    assert master_secret == target_secret
    master_secret_other = secret(x, w, target_other, N, master, target_other)
    target_secret_other = secret(z, w_other, master, M, master, target_other)
    assert master_secret_other != target_secret_other

    return ["// Spake2Test.cpp",
            cxx_text("kUncompressedM", encode(M).hex()),
            cxx_text("kUncompressedN", encode(N).hex()),
            cxx_text("kSessionId", session_id.decode()),
            cxx_text("kPassword", password.decode()),
            cxx_text("kOtherPassword", other_password.decode()),
            cxx_bytes("kMasterScalar", x.to_bytes(32, "big")),
            cxx_bytes("kTargetScalar", y.to_bytes(32, "big")),
            cxx_bytes("kOtherTargetScalar", z.to_bytes(32, "big")),
            cxx_bytes("kPasswordScalar", w.to_bytes(32, "big")),
            cxx_bytes("kOtherPasswordScalar", w_other.to_bytes(32, "big")),
            cxx_text("kMasterElement", encode(master).hex()),
            cxx_text("kTargetElement", encode(target).hex()),
            cxx_text("kOtherTargetElement", encode(target_other).hex()),
            cxx_bytes("kSharedSecret", master_secret),
            cxx_text("kConfirmation", confirmation(master_secret)),
            cxx_bytes("kMasterSecretWithOther", master_secret_other),
            cxx_bytes("kOtherTargetSecret", target_secret_other),
            cxx_text("kOtherTargetConfirmation", confirmation(target_secret_other))]


# --- Input-event binary form ------------------------------------------------------------------

def input_event_vectors():
    wheel = struct.pack("<Bqdd" "Bh", 4, 1700000000123, 0.1, 2.0 / 3.0, 3, -120)
    move = struct.pack("<Bqdd" "Bh", 1, 42, 0.0, 1.0, 1, 0)
    key_down = struct.pack("<BqIIB", 5, -5, 0x41, 0x1E, 1)
    key_up = struct.pack("<BqIIB", 6, 0x7fffffffffffffff, 0xffffffff, 0x11d, 0)
    assert len(wheel) == 28 and len(key_down) == 18
    return ["// InputEventTest.cpp",
            cxx_bytes("kWheelEvent", wheel), cxx_bytes("kMoveEvent", move),
            cxx_bytes("kKeyDownEvent", key_down), cxx_bytes("kKeyUpEvent", key_up)]


if __name__ == "__main__":
    for block in (packet_vectors(), ecdh_vectors(), spake_vectors(), input_event_vectors()):
        print("\n".join(block))
        print()
