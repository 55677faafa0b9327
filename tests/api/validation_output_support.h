// Helpers shared by the tests of the streaming validator, validation to files
// and the validation outcome: files read back as bytes, folder listings, and
// the last error as a string.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "quelta.h"

namespace quelta::test {

inline std::string error_text() {
  const char* m = quelta_last_error();
  return m ? std::string(m) : std::string("<none>");
}

inline std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The names of the entries of a folder.
inline std::set<std::string> entries(const std::filesystem::path& dir) {
  std::set<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

}  // namespace quelta::test
