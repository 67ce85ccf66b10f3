// Builds the process-wide default logger from the command-line options: a
// colour standard-output sink unless --no-stdout, a syslog sink with --syslog,
// both at the start-up level, flushed on every emitted line.
#pragma once

#include "ev_common/service/command_line.hpp"

#include <string>

namespace ev_common::service {

void setup_logger(const std::string& service_name, const command_line_options& options);

}  // namespace ev_common::service
