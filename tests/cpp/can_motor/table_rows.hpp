// Rows of the table-driven tests, named in failures (test_support::ByName names the cases).
#pragma once

#include <gtest/gtest.h>

#include <concepts>
#include <ostream>

namespace vorlix::can_motor::test {

struct NamedRow {
  const char* name;
};

// More constrained than GoogleTest's own template, so it is chosen for every row type.
template <std::derived_from<NamedRow> Row>
void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

}  // namespace vorlix::can_motor::test
