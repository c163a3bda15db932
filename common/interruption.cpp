#include "common/interruption.hpp"

namespace vorlix::interruption {
namespace {
thread_local Check t_check = nullptr;
}  // namespace

Scope::Scope(Check check) : previous_(t_check) { t_check = check; }

Scope::~Scope() { t_check = previous_; }

bool requested() { return t_check != nullptr && t_check(); }

}  // namespace vorlix::interruption
