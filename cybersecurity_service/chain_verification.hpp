// The text side of operation 10, verify_certificate_chain: reads the caller's
// options (a JSON object, or nothing) and writes the JSON text of the reply.
// The verification itself is ev_common's ChainVerifier.
#pragma once

#include "ev_common/cyber/chain_verifier.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ev_charging_platform::cybersecurity {

// Options longer than this are refused unread.
inline constexpr std::size_t max_verify_options_size = 4096;

// Fills `options` from `text` ("" or an object with "hostname", "at",
// "profile", "max_intermediates"); why the text is refused, if it is.
std::optional<std::string> read_verify_options(const std::string& text,
                                               ev_common::ChainVerifier::Options& options);

// "YYYY-MM-DDTHH:MM:SS" with an optional fraction (ignored) and "Z" or an
// offset "+HH:MM" / "-HH:MM", as seconds since 1970.
std::optional<std::int64_t> parse_iso8601(const std::string& text);

// {"status", "reason", "depth", "anchor", "chain", "expires_soon"}; the
// chain expires soon when its earliest end of validity is within
// `warning_seconds` of `time`.
std::string verification_json(const ev_common::ChainVerifier::Result& result, std::int64_t time,
                              std::int64_t warning_seconds);

}  // namespace ev_charging_platform::cybersecurity
