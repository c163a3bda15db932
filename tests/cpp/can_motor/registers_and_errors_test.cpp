#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "vorlix/damiao_error.hpp"
#include "can_motor/damiao/registers.hpp"

namespace vorlix::can_motor::damiao {
namespace {

TEST(RegisterTable, HoldsTheListedEntriesAtTheirIds) {
  struct Row {
    std::uint8_t id;
    std::string_view name, description;
    RegisterType type;
    bool writable;
  };
  for (const Row& row : {
           Row{0, "UV_Value", "Under-voltage protection value", RegisterType::Float, true},
           Row{10, "CTRL_MODE", "Control mode 1=MIT 2=POS_VEL 3=VEL 4=FORCE_POS",
               RegisterType::Uint32, true},
           Row{11, "Damp", "Viscous damping coefficient", RegisterType::Float, false},
           Row{35, "can_br", "CAN baud rate code (0..4)", RegisterType::Uint32, true},
           Row{36, "sub_ver", "Sub-version number", RegisterType::Uint32, false},
           Row{56, "m_off_motor", "Motor-side angle offset", RegisterType::Float, false},
           Row{81, "xout", "Output shaft position", RegisterType::Float, false},
       }) {
    const RegisterInfo* info = lookup(row.id);
    ASSERT_NE(info, nullptr) << int{row.id};
    EXPECT_EQ(info->name, row.name);
    EXPECT_EQ(info->description, row.description);
    EXPECT_EQ(info->type, row.type);
    EXPECT_EQ(info->writable, row.writable);
  }
}

TEST(RegisterTable, GapsAndIdsPastTheTableHaveNoEntry) {
  int present = 0;
  for (int id = 0; id <= 255; ++id) {
    const RegisterInfo* info = lookup(static_cast<std::uint8_t>(id));
    const bool gap = (id >= 37 && id <= 49) || id == 57 || id == 58 || (id >= 66 && id <= 79) ||
                     id > 81;
    EXPECT_EQ(info == nullptr, gap) << id;
    if (info != nullptr) {
      EXPECT_EQ(info->id, id);
      ++present;
    }
  }
  EXPECT_EQ(present, 53);
}

TEST(ErrorTexts, AreTheSystemsOwn) {
  const std::string no_device = std::strerror(ENODEV);
  EXPECT_EQ(CanError::timeout().text(), "timeout waiting for frame");
  EXPECT_EQ(CanError::frame_too_large(65).text(), "frame too large for selected mode: 65 bytes");
  EXPECT_EQ(CanError::invalid_id().text(), "invalid CAN id");
  EXPECT_EQ(CanError::backend(ENODEV).text(), "backend error: " + no_device);
  EXPECT_EQ(DamiaoError(CanError::timeout()).text(), "transport error: timeout waiting for frame");
  EXPECT_EQ(DamiaoError(UnknownRegister{40}).text(),
            "register 40 is not in the Damiao register table");
  EXPECT_EQ(DamiaoError(ReadOnly{11}).text(), "register 11 is read-only");
  EXPECT_EQ(DamiaoError(TypeMismatch{10, RegisterType::Uint32, RegisterType::Float}).text(),
            "register 10: expected Uint32, got Float");
  EXPECT_EQ(DamiaoError(ModeVerifyFailed{1, 3}).text(),
            "control mode verification failed: wrote 1, motor reports 3");
  EXPECT_EQ(DamiaoError(UnexpectedReply{{1, 2, 255}}).text(),
            "unexpected reply (data did not match register-reply pattern): [1, 2, 255]");
}

}  // namespace
}  // namespace vorlix::can_motor::damiao
