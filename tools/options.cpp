#include "tools/options.h"

#include <algorithm>
#include <iostream>

namespace ket {

CommandLine::CommandLine(std::span<char* const> arguments,
                         std::initializer_list<OptionSpec> known) {
  const auto find = [&](std::string_view name) {
    return std::find_if(known.begin(), known.end(),
                        [&](const OptionSpec& spec) { return spec.name == name; });
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view name = arguments[i];
    if (!name.starts_with("--") && find(name) == known.end()) {
      operands_.emplace_back(name);
      continue;
    }
    std::optional<std::string> value;
    if (const auto eq = name.find('='); name.starts_with("--") && eq != std::string_view::npos) {
      value = std::string(name.substr(eq + 1));
      name = name.substr(0, eq);
    }
    const auto spec = find(name);
    if (spec == known.end()) {
      throw UsageError("unknown option " + std::string(name));
    }
    if (spec->takesValue && !value) {
      if (i + 1 >= arguments.size()) {
        throw UsageError(std::string(name) + " needs a value");
      }
      value = arguments[++i];
    } else if (!spec->takesValue && value) {
      throw UsageError(std::string(name) + " takes no value");
    }
    if (!options_.emplace(name, value.value_or("")).second) {
      throw UsageError(std::string(name) + " given twice");
    }
  }
}

bool CommandLine::Has(std::string_view name) const {
  return options_.contains(name);
}

std::optional<std::string> CommandLine::Value(std::string_view name) const {
  const auto it = options_.find(name);
  if (it == options_.end()) {
    return std::nullopt;
  }
  return it->second;
}

std::string CommandLine::Need(std::string_view name) const {
  std::optional<std::string> value = Value(name);
  if (!value) {
    throw UsageError("missing " + std::string(name));
  }
  return *std::move(value);
}

const std::vector<std::string>& CommandLine::Operands(std::size_t count,
                                                      std::string_view what) const {
  if (operands_.size() != count) {
    throw UsageError(std::string(what));
  }
  return operands_;
}

int UsageFailure(std::string_view tool, std::string_view what, std::string_view usage) {
  std::cerr << tool << ": " << what << "\n" << usage;
  return kUsageExit;
}

} // namespace ket
