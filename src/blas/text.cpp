#include "blas/text.hpp"

std::string squeezed(const char* text) {
  std::string out;
  for (const char* c = text != nullptr ? text : ""; *c != '\0'; ++c) {
    if (*c != ' ' || (!out.empty() && out.back() != ' ')) {
      out += *c;
    }
  }
  if (!out.empty() && out.back() == ' ') {
    out.pop_back();
  }
  return out;
}
