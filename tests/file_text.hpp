// Reads back what a test wrote to a temporary stream.
#pragma once

#include <cstdio>
#include <string>

inline std::string file_text(std::FILE* f) {
  std::rewind(f);
  std::string text;
  for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) {
    text.push_back(static_cast<char>(c));
  }
  return text;
}
