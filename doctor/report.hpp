// The doctor's findings: one row per check, each with a verdict and, unless it is ok, the
// fix in one line. Rendered as a table for a person or as one JSON object for a script.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vorlix::doctor {

enum class Verdict { Ok, Warning, Problem };

struct Check {
  std::string subject;  // what was looked at: "serial", "servo 3 right_arm_pitch", "neck_yaw"
  std::string name;     // which check: "ping", "voltage", "PMAX"
  Verdict verdict;
  std::string detail;  // what was found
  std::string fix;     // empty when ok
};

class Report {
 public:
  void ok(std::string subject, std::string name, std::string detail);
  void warning(std::string subject, std::string name, std::string detail, std::string fix);
  void problem(std::string subject, std::string name, std::string detail, std::string fix);
  void add(Check check) { checks_.push_back(std::move(check)); }
  // Places a row found later beside the rows it belongs with.
  void insert(std::size_t position, Check check) {
    checks_.insert(checks_.begin() + static_cast<std::ptrdiff_t>(position), std::move(check));
  }

  const std::vector<Check>& checks() const { return checks_; }
  bool has_problem() const;

 private:
  std::vector<Check> checks_;
};

std::string render_table(const Report& report);
std::string render_json(const Report& report);

}  // namespace vorlix::doctor
