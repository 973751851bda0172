// The three distance metrics. The numeric id is what binary files store, the
// text name is what Python and JSON use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"

namespace kovra {

enum class Metric : uint32_t { L2 = 0, Cosine = 1, DotProduct = 2 };

inline constexpr uint32_t kMetricCount = 3;

// "l2", "cosine" or "dot_product".
std::string_view metric_name(Metric m);

// Exact and case-sensitive: only the three names are accepted.
std::optional<Metric> metric_from_name(std::string_view name);

// Parses a text name; an unknown name fails with the unknown-metric message
// (the Python layer raises that text itself as ValueError).
std::expected<Metric, std::string> parse_metric(std::string_view name);

// `unknown metric "<escaped text>"; expected "l2", "cosine", or "dot_product"`
std::string unknown_metric_message(std::string_view name);

std::optional<Metric> metric_from_id(uint32_t id);
inline uint32_t metric_id(Metric m) { return static_cast<uint32_t>(m); }

// Writes `text` as a double-quoted string literal with backslash, double quote
// and control characters escaped.
std::string quote_escaped(std::string_view text);

}  // namespace kovra
