#include "can_motor/damiao/registers.hpp"

#include <array>
#include <cstddef>

namespace vorlix::can_motor::damiao {
namespace {

using enum RegisterType;
constexpr bool kReadWrite = true;
constexpr bool kReadOnly = false;

constexpr RegisterInfo kRegisters[] = {
    {0, "UV_Value", "Under-voltage protection value", Float, kReadWrite},
    {1, "KT_Value", "Torque coefficient", Float, kReadWrite},
    {2, "OT_Value", "Over-temperature protection", Float, kReadWrite},
    {3, "OC_Value", "Over-current protection", Float, kReadWrite},
    {4, "ACC", "Acceleration", Float, kReadWrite},
    {5, "DEC", "Deceleration", Float, kReadWrite},
    {6, "MAX_SPD", "Maximum speed", Float, kReadWrite},
    {7, "MST_ID", "Feedback (master) CAN id", Uint32, kReadWrite},
    {8, "ESC_ID", "Receive (motor) CAN id", Uint32, kReadWrite},
    {9, "TIMEOUT", "Timeout alarm (1 unit = 50 us)", Uint32, kReadWrite},
    {10, "CTRL_MODE", "Control mode 1=MIT 2=POS_VEL 3=VEL 4=FORCE_POS", Uint32, kReadWrite},
    {11, "Damp", "Viscous damping coefficient", Float, kReadOnly},
    {12, "Inertia", "Moment of inertia", Float, kReadOnly},
    {13, "hw_ver", "Hardware version (reserved)", Uint32, kReadOnly},
    {14, "sw_ver", "Software version", Uint32, kReadOnly},
    {15, "SN", "Serial number (reserved)", Uint32, kReadOnly},
    {16, "NPP", "Motor pole pairs", Uint32, kReadOnly},
    {17, "Rs", "Phase resistance", Float, kReadOnly},
    {18, "Ls", "Phase inductance", Float, kReadOnly},
    {19, "Flux", "Flux linkage", Float, kReadOnly},
    {20, "Gr", "Gear reduction ratio", Float, kReadOnly},
    {21, "PMAX", "Position mapping range", Float, kReadWrite},
    {22, "VMAX", "Speed mapping range", Float, kReadWrite},
    {23, "TMAX", "Torque mapping range", Float, kReadWrite},
    {24, "I_BW", "Current loop bandwidth", Float, kReadWrite},
    {25, "KP_ASR", "Speed loop Kp", Float, kReadWrite},
    {26, "KI_ASR", "Speed loop Ki", Float, kReadWrite},
    {27, "KP_APR", "Position loop Kp", Float, kReadWrite},
    {28, "KI_APR", "Position loop Ki", Float, kReadWrite},
    {29, "OV_Value", "Over-voltage protection", Float, kReadWrite},
    {30, "GREF", "Gear torque efficiency", Float, kReadWrite},
    {31, "Deta", "Speed loop damping", Float, kReadWrite},
    {32, "V_BW", "Speed loop filter bandwidth", Float, kReadWrite},
    {33, "IQ_c1", "Current loop enhancement", Float, kReadWrite},
    {34, "VL_c1", "Speed loop enhancement", Float, kReadWrite},
    {35, "can_br", "CAN baud rate code (0..4)", Uint32, kReadWrite},
    {36, "sub_ver", "Sub-version number", Uint32, kReadOnly},
    {50, "u_off", "U-phase offset", Float, kReadOnly},
    {51, "v_off", "V-phase offset", Float, kReadOnly},
    {52, "k1", "Compensation factor 1", Float, kReadOnly},
    {53, "k2", "Compensation factor 2", Float, kReadOnly},
    {54, "m_off", "Output-shaft angle offset", Float, kReadOnly},
    {55, "dir", "Direction", Float, kReadOnly},
    {56, "m_off_motor", "Motor-side angle offset", Float, kReadOnly},
    {59, "Imax", "Driver board max current", Float, kReadOnly},
    {60, "VBus", "Power supply voltage", Float, kReadOnly},
    {61, "Tpcb", "Driver board temperature", Float, kReadOnly},
    {62, "Tmtr", "Motor temperature", Float, kReadOnly},
    {63, "Iu_off", "U-phase current offset", Float, kReadOnly},
    {64, "Iv_off", "V-phase current offset", Float, kReadOnly},
    {65, "Iw_off", "W-phase current offset", Float, kReadOnly},
    {80, "p_m", "Motor position", Float, kReadOnly},
    {81, "xout", "Output shaft position", Float, kReadOnly},
};

constexpr std::size_t kSlotCount = 82;

// Dense by id, so a lookup is one index.
constexpr std::array<const RegisterInfo*, kSlotCount> make_slots() {
  std::array<const RegisterInfo*, kSlotCount> slots{};
  for (const RegisterInfo& info : kRegisters) {
    // Reached only while compiling: a duplicate or out-of-range id fails the build.
    if (info.id >= kSlotCount || slots[info.id] != nullptr) throw "duplicate or too large id";
    slots[info.id] = &info;
  }
  return slots;
}

constexpr auto kSlots = make_slots();

}  // namespace

std::string_view name_of(RegisterType type) { return type == Float ? "Float" : "Uint32"; }

const RegisterInfo* lookup(std::uint8_t id) { return id < kSlotCount ? kSlots[id] : nullptr; }

}  // namespace vorlix::can_motor::damiao
