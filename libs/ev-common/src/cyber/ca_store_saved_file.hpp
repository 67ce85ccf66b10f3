// A certificate file of a CA store as it stood before a change, for
// CaStoreCore and the stores built on it to put back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ev_common/cyber/ca_store_core.hpp"
#include "file_io.hpp"

namespace ev_common {

struct CaStoreCore::SavedFile {
    uint32_t id = 0;
    std::string name;
    file_io::SavedEntry previous;
    // What the store kept of it besides the file (CaStoreCore::heldText).
    std::optional<std::string> held;
};

}  // namespace ev_common
