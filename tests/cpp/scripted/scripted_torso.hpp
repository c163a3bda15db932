// A controller on the in-memory servo line and neck, with the waits it makes between
// attempts cut short; the test keeps views of both buses.
#pragma once

#include <chrono>
#include <memory>

#include "scripted/scripted_neck.hpp"
#include "scripted/scripted_servos.hpp"
#include "vorlix/controller.hpp"

namespace vorlix::testing {

struct ScriptedTorso {
  ScriptedServos* servos;
  ScriptedNeck* neck;
  controller::VorlixMotorController controller;
};

inline controller::Timing fast_timing() {
  controller::Timing timing;
  timing.homing_pause = std::chrono::nanoseconds::zero();
  timing.reboot_ping_pause = std::chrono::milliseconds(1);
  timing.retry_pause = std::chrono::nanoseconds::zero();
  return timing;
}

inline ScriptedTorso scripted_torso(const controller::Timing& timing = fast_timing()) {
  auto servos = std::make_unique<ScriptedServos>();
  auto neck = std::make_unique<ScriptedNeck>();
  ScriptedServos* servos_view = servos.get();
  ScriptedNeck* neck_view = neck.get();
  return ScriptedTorso{servos_view, neck_view,
                       controller::VorlixMotorController(std::move(servos), std::move(neck),
                                                         timing)};
}

}  // namespace vorlix::testing
