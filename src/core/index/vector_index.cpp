#include "core/index/vector_index.h"

#include <algorithm>

#include "core/index/id_map.h"

namespace kovra {

Result<std::vector<Hit>> VectorIndex::search_ids(std::span<const float> query, size_t k,
                                                 std::span<const VectorId> ids) const {
  if (k == 0 || ids.empty()) {
    KOVRA_TRY(search(query, 0));
    return std::vector<Hit>();
  }
  IdMap wanted;
  wanted.reserve(ids.size());
  for (VectorId id : ids) wanted.put(id, 0);
  KOVRA_ASSIGN_OR_RETURN(std::vector<Hit> all, search(query, len()));
  std::vector<Hit> out;
  out.reserve(std::min(k, ids.size()));
  for (const Hit& h : all) {
    if (!wanted.contains(h.id)) continue;
    out.push_back(h);
    if (out.size() == k) break;
  }
  return out;
}

std::vector<std::optional<std::vector<float>>> VectorIndex::vectors_of(std::span<const VectorId> ids) const {
  std::vector<std::optional<std::vector<float>>> out(ids.size());
  if (ids.empty()) return out;
  IdMap wanted;  // id -> first position asked for
  wanted.reserve(ids.size());
  for (size_t i = ids.size(); i-- > 0;) wanted.put(ids[i], i);
  for (auto& [id, vector] : iterate()) {
    if (auto at = wanted.get(id)) out[*at] = std::move(vector);
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    auto first = wanted.get(ids[i]);
    if (*first != i) out[i] = out[*first];
  }
  return out;
}

}  // namespace kovra
