// A statement of the library: fixed text with "?" placeholders and the values bound to
// them. Values never become part of the text, so a quote in a file name or a tag is
// stored and found like any other character.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

using SqlValue = std::variant<int64_t, std::string>;

struct Sql {
  std::string text;
  std::vector<SqlValue> values;

  bool operator==(const Sql& other) const = default;
};
