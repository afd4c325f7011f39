// Owners of libcrypto objects, one per kind, for the files that use OpenSSL directly
// (the signature check and the maker's signing tool).
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <memory>

namespace libcrypto {

// Frees one libcrypto object with `Liberar`.
template <class T, void (*Liberar)(T*)>
struct Suelta {
    void operator()(T* p) const noexcept { Liberar(p); }
};
using Clave = std::unique_ptr<EVP_PKEY, Suelta<EVP_PKEY, EVP_PKEY_free>>;
using ContextoMd = std::unique_ptr<EVP_MD_CTX, Suelta<EVP_MD_CTX, EVP_MD_CTX_free>>;
using ContextoClave = std::unique_ptr<EVP_PKEY_CTX, Suelta<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Bio = std::unique_ptr<BIO, Suelta<BIO, BIO_free_all>>;

}  // namespace libcrypto
