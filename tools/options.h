// The command line of the build machine's tools (ketro-pack, ketro-install, ketro-cts): one way
// to read options and operands, and one exit code for a wrong command line.
#pragma once

#include "engine/exit_code.h"

#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ket {

// The exit code of a wrong command line, every tool's: the one of the exit-code table.
constexpr int kUsageExit = ToInt(ExitCode::kUsage);

// A wrong command line; what() says what is wrong.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One option a command accepts: its name as written ("--dir", "-h"), and whether a value
// follows it.
struct OptionSpec {
  std::string_view name;
  bool takesValue = false;
};

// The options and operands of a command line.
//
// An argument that begins with "--", or is the name of a known option, is an option; any other
// is an operand, kept in order. An option with a value is written "--name VALUE" (VALUE is the
// next argument, whatever it is, an empty one too) or "--name=VALUE"; a switch stands alone.
// The constructor throws UsageError for an unknown option, a value missing at the end of the
// line, a switch given a value and an option given twice.
class CommandLine {
 public:
  CommandLine(std::span<char* const> arguments, std::initializer_list<OptionSpec> known);

  bool Has(std::string_view name) const;
  // The option's value, nullopt when it was not given.
  std::optional<std::string> Value(std::string_view name) const;
  // The option's value; throws UsageError "missing NAME" when it was not given.
  std::string Need(std::string_view name) const;
  // The operands; throws UsageError(what) unless there are exactly `count`.
  const std::vector<std::string>& Operands(std::size_t count, std::string_view what) const;

 private:
  std::map<std::string, std::string, std::less<>> options_;
  std::vector<std::string> operands_;
};

// Writes "TOOL: WHAT" and then the usage text to stderr; returns kUsageExit, for main to end
// with.
int UsageFailure(std::string_view tool, std::string_view what, std::string_view usage);

} // namespace ket
