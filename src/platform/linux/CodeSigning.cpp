#include "platform/CodeSigning.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <optional>
#include <spdlog/spdlog.h>

#include "platform/InstanceConfig.h"

namespace veltrix::platform::codesign {
namespace {

constexpr std::size_t kTrailerBytes = 4 + sizeof(kSignatureMagic);
// A CMS signature with its certificate chain and CRLs stays far below this.
constexpr std::size_t kMaxSignatureBytes = 1024 * 1024;

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

// The file mapped read-only for the life of the object: the package can be large and OpenSSL
// reads it straight from the mapping.
class MappedFile {
public:
    explicit MappedFile(const std::filesystem::path& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
            void* address = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (address != MAP_FAILED) {
                data_ = static_cast<const unsigned char*>(address);
                size_ = static_cast<std::size_t>(st.st_size);
            }
        }
        ::close(fd);
    }
    ~MappedFile() {
        if (data_) ::munmap(const_cast<unsigned char*>(data_), size_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

struct SignedPackage {
    const unsigned char* content = nullptr;
    std::size_t contentSize = 0;
    CmsPtr cms;
};

// Splits the mapping into package bytes and parsed signature; nothing when the trailer is wrong.
std::optional<SignedPackage> splitPackage(const MappedFile& file, std::string& reason) {
    if (!file.data() || file.size() < kTrailerBytes) {
        reason = "file missing, empty or shorter than a signature trailer";
        return std::nullopt;
    }
    const unsigned char* trailer = file.data() + file.size() - kTrailerBytes;
    if (std::memcmp(trailer + 4, kSignatureMagic, sizeof(kSignatureMagic)) != 0) {
        reason = "no signature trailer";
        return std::nullopt;
    }
    const std::size_t signatureSize = (std::size_t{trailer[0]} << 24) | (std::size_t{trailer[1]} << 16) |
                                      (std::size_t{trailer[2]} << 8) | std::size_t{trailer[3]};
    if (signatureSize == 0 || signatureSize > kMaxSignatureBytes || signatureSize > file.size() - kTrailerBytes) {
        reason = "signature length out of range";
        return std::nullopt;
    }
    SignedPackage out;
    out.contentSize = file.size() - kTrailerBytes - signatureSize;
    out.content = file.data();
    const unsigned char* der = file.data() + out.contentSize;
    out.cms.reset(d2i_CMS_ContentInfo(nullptr, &der, static_cast<long>(signatureSize)));
    if (!out.cms || der != file.data() + out.contentSize + signatureSize) {
        reason = "signature is not one DER CMS structure";
        return std::nullopt;
    }
    if (OBJ_obj2nid(CMS_get0_type(out.cms.get())) != NID_pkcs7_signed || !CMS_is_detached(out.cms.get())) {
        reason = "signature is not detached SignedData";
        return std::nullopt;
    }
    return out;
}

StorePtr trustStore() {
    StorePtr store(X509_STORE_new());
    if (!store) return store;
    X509_STORE_set_default_paths(store.get());
    if (const auto caFile = config::value(kCodeSigningCaFileKey); caFile && !caFile->empty()) {
        std::filesystem::path path(*caFile);
        if (path.is_relative()) path = std::filesystem::path(config::filePath()).parent_path() / path;
        if (X509_STORE_load_file(store.get(), path.c_str()) != 1) {
            spdlog::warn("CodeSigning: cannot load code-signing CA file {}", path.string());
        }
    }
    // CMS verification would apply the S/MIME purpose; the codeSigning usage is checked on the
    // signer below instead.
    X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
    return store;
}

bool allowsCodeSigning(X509* certificate) {
    return (X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) != 0 &&
           (X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN) != 0;
}

std::string opensslError(unsigned long code) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

}  // namespace

Verification verifyFile(const std::filesystem::path& path) {
    Verification result;
    result.status = 1;
    ERR_clear_error();
    const MappedFile file(path);
    auto package = splitPackage(file, result.reason);
    if (!package) return result;

    StorePtr store = trustStore();
    if (!store) {
        result.reason = "cannot create a certificate store";
        return result;
    }
    STACK_OF(X509_CRL)* crls = CMS_get1_crls(package->cms.get());
    if (crls && sk_X509_CRL_num(crls) > 0) {
        X509_STORE_set_flags(store.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
    }
    sk_X509_CRL_pop_free(crls, X509_CRL_free);

    BioPtr content(BIO_new_mem_buf(package->content, static_cast<int>(package->contentSize)));
    if (!content || CMS_verify(package->cms.get(), nullptr, store.get(), content.get(), nullptr, CMS_BINARY) != 1) {
        result.status = ERR_peek_last_error() != 0 ? ERR_peek_last_error() : 1;
        result.reason = opensslError(result.status);
        ERR_clear_error();
        return result;
    }
    STACK_OF(X509)* signers = CMS_get0_signers(package->cms.get());
    const int count = signers ? sk_X509_num(signers) : 0;
    for (int i = 0; i < count; ++i) {
        if (!allowsCodeSigning(sk_X509_value(signers, i))) {
            sk_X509_free(signers);
            result.reason = "signer certificate lacks the codeSigning usage";
            return result;
        }
    }
    sk_X509_free(signers);
    if (count == 0) {
        result.reason = "no signer";
        return result;
    }
    result.trusted = true;
    result.status = 0;
    return result;
}

std::string signerName(const std::filesystem::path& path) {
    std::string reason;
    const MappedFile file(path);
    auto package = splitPackage(file, reason);
    if (!package) return {};
    // Matches each signer info with its certificate among those the signature carries.
    if (CMS_set1_signers_certs(package->cms.get(), nullptr, 0) < 0) {
        ERR_clear_error();
        return {};
    }
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(package->cms.get());
    if (!infos || sk_CMS_SignerInfo_num(infos) == 0) return {};
    X509* signer = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(infos, 0), nullptr, &signer, nullptr, nullptr);
    if (!signer) return {};
    X509_NAME* subject = X509_get_subject_name(signer);
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0) return {};
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (length < 0) return {};
    std::string name(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return name;
}

}  // namespace veltrix::platform::codesign
