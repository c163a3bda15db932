// Goal positions converted to their register words as the group writes convert them, so that
// a caller can refuse a write before anything of it goes out.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "vorlix/controller.hpp"

namespace vorlix::controller {

// One group's goals; fails as its group write would (a non-finite goal, a wrong count).
ControllerResult<std::vector<std::uint16_t>> group_goals_to_words(ServoGroup group,
                                                                  std::span<const double> values);

// All seven goals, one word list per line group in line-group order.
using LineGoalWords = std::array<std::vector<std::uint16_t>, torso::kLineGroups.size()>;
ControllerResult<LineGoalWords> all_goals_to_words(std::span<const double, 7> values);

}  // namespace vorlix::controller
