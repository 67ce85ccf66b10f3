#include "ca_store_sandbox.hpp"

#include <memory>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "switchable_tool.hpp"

namespace fs = std::filesystem;

namespace ev_test {

CaSandbox::CaSandbox(const std::vector<std::string>& builtIns) {
    for (const char* sub : {"etc", "user", "hooks"}) fs::create_directories(dir_ / sub);
    std::string conf;
    for (const auto& file : builtIns) conf += file + "\n";
    writeFile(dir_ / "ca-certificates.conf", conf);
}

std::vector<std::string> CaSandbox::toolArguments() const {
    return toolArguments(dir_ / "ca-certificates.conf", userDir());
}

std::vector<std::string> CaSandbox::toolArguments(const fs::path& certsConf,
                                                  const fs::path& localCertsDir) const {
    // An empty hooks folder: the machine's own hooks must never run.
    return {"--certsconf",     certsConf.string(),       "--certsdir",    kSystemCaFiles.string(),
            "--localcertsdir", localCertsDir.string(),   "--etccertsdir", linuxDir().string(),
            "--hooksdir",      (dir_ / "hooks").string()};
}

fs::path CaSandbox::flakyTool() const {
    const fs::path script = dir_ / "flaky-update-tool";
    if (!fs::exists(script)) writeSwitchableTool(script, kUpdateTool, failFlag());
    return script;
}

std::vector<std::string> CaSandbox::defaultBuiltIns() {
    return {"mozilla/ACCVRAIZ1.crt", "mozilla/Actalis_Authentication_Root_CA.crt",
            "mozilla/ISRG_Root_X1.crt"};
}

std::string makeCaPem(const std::string& commonName, int days) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!key || !cert) throw std::runtime_error("libcrypto allocation failed");
    X509_set_version(cert.get(), 2);
    static long serial = 1;
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(days) * 86400);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Store Tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
        throw std::runtime_error("signing failed");
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_X509(bio.get(), cert.get());
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string makePrivateKeyPem() {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!key || !bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1) {
        throw std::runtime_error("private key generation failed");
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

fs::path linkTarget(const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    if (ec) return {};
    return target.is_absolute() ? target : link.parent_path() / target;
}

}  // namespace ev_test
