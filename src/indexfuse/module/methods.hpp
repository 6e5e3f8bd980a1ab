// The model class's method table.
#pragma once

#include "module/function.hpp"

#include <array>

namespace indexfuse {

inline constexpr const char* kClassName = "indexpca_diment";
inline constexpr std::size_t kMethodCount = 8;

// In class-namespace order: __init__, fit, score, compute_index_coef,
// compute_dim_value, compute_dim_weight, compute_score, is_index_coef.
extern const std::array<MethodSpec, kMethodCount> kMethods;

// The defaults tuple of method `index`, or None. Needs the module constants.
Ref method_defaults(std::size_t index);

}  // namespace indexfuse
