// Reads every joint of the torso once through the C++ core, without Python:
//   vorlix_read_torso SERIAL_PATH CAN_IFACE
// prints one "name radians" line per joint: the seven servos, then the neck.
#include <cstdio>
#include <string>

#include <vorlix/controller.hpp>

int main(int argc, char** argv) {
  namespace controller = vorlix::controller;
  if (argc != 3) {
    std::fprintf(stderr, "usage: vorlix_read_torso SERIAL_PATH CAN_IFACE\n");
    return 2;
  }
  const auto failed = [](const controller::ControllerError& error) {
    std::fprintf(stderr, "%s\n", error.text().c_str());
    return 1;
  };
  auto torso = controller::VorlixMotorController::create(std::string(argv[1]), argv[2]);
  if (!torso) return failed(torso.error());
  const auto servos = torso->read_all_positions();
  if (!servos) return failed(servos.error());
  const auto neck = torso->read_neck_positions();
  if (!neck) return failed(neck.error());
  for (std::size_t i = 0; i < servos->size(); ++i) {
    std::printf("%s %.4f\n", controller::kMotorNames[i].data(), (*servos)[i]);
  }
  for (std::size_t i = 0; i < neck->size(); ++i) {
    std::printf("%s %.4f\n", controller::kNeckNames[i].data(), (*neck)[i]);
  }
  return 0;
}
