// The results of adding and removing a CA certificate. The store returns them
// and the same values travel on the wire, so clients of the trust service use
// this header without anything of libcrypto or the store.
#pragma once

#include <cstdint>

namespace ev_common {

// ipc_error is produced only on the client side, never by a store;
// not_authorized only by a service that refused the caller, never by a store;
// store_full by a store that holds as many certificates as it may; last_root
// by a store that keeps its last certificate.
enum class AddCertificateStatus : int32_t {
    ipc_error = -1,
    success = 0,
    invalid_cert = 1,
    invalid_name = 2,
    already_exists = 3,
    internal_error = 4,
    not_authorized = 5,
    store_full = 6,
};

enum class RemoveCertificateStatus : int32_t {
    ipc_error = -1,
    success = 0,
    unknown_id = 1,
    built_in = 2,
    internal_error = 3,
    not_authorized = 4,
    last_root = 5,
};

// Of distrusting a built-in certificate (deselecting it in the update tool's
// configuration) and of restoring it.
enum class DistrustStatus : int32_t {
    ipc_error = -1,
    success = 0,
    unknown_id = 1,
    not_built_in = 2,
    already_distrusted = 3,
    not_distrusted = 4,
    internal_error = 5,
    not_authorized = 6,
    // The update tool's configuration file is not a regular file, not
    // writable, or does not list the certificate.
    config_unusable = 7,
};

}  // namespace ev_common
