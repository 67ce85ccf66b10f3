#include "ev_common/cyber/certificate_change.hpp"

namespace ev_common {

const char* toString(CertificateEvent event) {
    switch (event) {
        case CertificateEvent::added:
            return "added";
        case CertificateEvent::replaced:
            return "replaced";
        case CertificateEvent::removed:
            return "removed";
        case CertificateEvent::expiring:
            return "expiring";
        case CertificateEvent::expired:
            return "expired";
        case CertificateEvent::distrusted:
            return "distrusted";
        case CertificateEvent::restored:
            return "restored";
        case CertificateEvent::fallback:
            return "fallback";
    }
    return "unknown";
}

}  // namespace ev_common
