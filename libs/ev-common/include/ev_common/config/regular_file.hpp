// Reads the configuration description and the configuration file, which must
// be regular files (or symbolic links to one): a device, FIFO, socket or
// directory at such a path is refused, never opened for a blocking read. The
// service frame checks both paths before start-up goes on; the provider reads
// through it.
#pragma once

#include <string>

namespace ev_common {

enum class PathKind { missing, regular, other };

// What is at `path`, following symbolic links. `missing` also stands for a
// path that cannot be examined (a folder on the way that may not be searched,
// a dangling link): opening it would fail the same way.
PathKind pathKind(const std::string& path);

struct RegularFileText {
    enum class Status { read, cannotOpen, notRegular };
    Status status;
    std::string text;
};

// The whole content of the regular file at `path`. The file is opened
// without blocking and examined again once open, so that something swapped in
// after a check is still refused.
RegularFileText readRegularFile(const std::string& path);

}  // namespace ev_common
