#include "doctor/report.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "common/format.hpp"

namespace vorlix::doctor {
namespace {

std::string_view name_of(Verdict verdict) {
  switch (verdict) {
    case Verdict::Ok:
      return "ok";
    case Verdict::Warning:
      return "warning";
    case Verdict::Problem:
      return "problem";
  }
  return "problem";
}

std::size_t count(const Report& report, Verdict verdict) {
  return static_cast<std::size_t>(std::ranges::count(report.checks(), verdict, &Check::verdict));
}

std::string padded(std::string_view text, std::size_t width) {
  std::string out(text);
  out.resize(std::max(width, text.size()), ' ');
  return out;
}

std::string summary(const Report& report) {
  const std::size_t problems = count(report, Verdict::Problem);
  const std::size_t warnings = count(report, Verdict::Warning);
  if (problems == 0 && warnings == 0) {
    return fmt::format("all {} checks ok\n", report.checks().size());
  }
  return fmt::format("{} checks: {} problems, {} warnings; the fixes are under their rows\n",
                     report.checks().size(), problems, warnings);
}

void append_json_string(std::string& out, std::string_view text) {
  constexpr std::string_view kHex = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  out += '"';
}

}  // namespace

void Report::ok(std::string subject, std::string name, std::string detail) {
  add({std::move(subject), std::move(name), Verdict::Ok, std::move(detail), {}});
}

void Report::warning(std::string subject, std::string name, std::string detail,
                     std::string fix) {
  add({std::move(subject), std::move(name), Verdict::Warning, std::move(detail),
       std::move(fix)});
}

void Report::problem(std::string subject, std::string name, std::string detail,
                     std::string fix) {
  add({std::move(subject), std::move(name), Verdict::Problem, std::move(detail),
       std::move(fix)});
}

bool Report::has_problem() const { return count(*this, Verdict::Problem) > 0; }

std::string render_table(const Report& report) {
  std::size_t subject_width = std::string_view("SUBJECT").size();
  std::size_t name_width = std::string_view("CHECK").size();
  for (const Check& check : report.checks()) {
    subject_width = std::max(subject_width, check.subject.size());
    name_width = std::max(name_width, check.name.size());
  }
  const std::size_t verdict_width = name_of(Verdict::Warning).size();
  const std::string fix_indent(subject_width + name_width + verdict_width + 6, ' ');

  std::string out = padded("SUBJECT", subject_width) + "  " + padded("CHECK", name_width) + "  " +
                    padded("VERDICT", verdict_width) + "  DETAIL\n";
  for (const Check& check : report.checks()) {
    out += padded(check.subject, subject_width) + "  " + padded(check.name, name_width) + "  " +
           padded(name_of(check.verdict), verdict_width) + "  " + check.detail + "\n";
    if (!check.fix.empty()) out += fix_indent + "fix: " + check.fix + "\n";
  }
  out += summary(report);
  return out;
}

std::string render_json(const Report& report) {
  std::string out = "{\"verdict\": ";
  const Verdict overall = report.has_problem()                  ? Verdict::Problem
                          : count(report, Verdict::Warning) > 0 ? Verdict::Warning
                                                                : Verdict::Ok;
  append_json_string(out, name_of(overall));
  out += fmt::format(", \"problems\": {}, \"warnings\": {}, \"checks\": [",
                     count(report, Verdict::Problem), count(report, Verdict::Warning));
  bool first = true;
  for (const Check& check : report.checks()) {
    out += first ? "\n  {" : ",\n  {";
    first = false;
    const std::pair<std::string_view, std::string_view> fields[] = {
        {"subject", check.subject},
        {"check", check.name},
        {"verdict", name_of(check.verdict)},
        {"detail", check.detail},
        {"fix", check.fix}};
    bool first_field = true;
    for (const auto& [key, value] : fields) {
      if (key == "fix" && value.empty()) continue;
      if (!first_field) out += ", ";
      first_field = false;
      append_json_string(out, key);
      out += ": ";
      append_json_string(out, value);
    }
    out += '}';
  }
  out += "\n]}\n";
  return out;
}

}  // namespace vorlix::doctor
