#include "core/metric.h"

#include <cstdio>

namespace kovra {

std::string_view metric_name(Metric m) {
  switch (m) {
    case Metric::L2:
      return "l2";
    case Metric::Cosine:
      return "cosine";
    case Metric::DotProduct:
      return "dot_product";
  }
  return "l2";
}

std::optional<Metric> metric_from_name(std::string_view name) {
  if (name == "l2") return Metric::L2;
  if (name == "cosine") return Metric::Cosine;
  if (name == "dot_product") return Metric::DotProduct;
  return std::nullopt;
}

std::string quote_escaped(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string unknown_metric_message(std::string_view name) {
  return "unknown metric " + quote_escaped(name) + "; expected \"l2\", \"cosine\", or \"dot_product\"";
}

std::expected<Metric, std::string> parse_metric(std::string_view name) {
  if (auto m = metric_from_name(name)) return *m;
  return std::unexpected(unknown_metric_message(name));
}

std::optional<Metric> metric_from_id(uint32_t id) {
  if (id < kMetricCount) return static_cast<Metric>(id);
  return std::nullopt;
}

}  // namespace kovra
