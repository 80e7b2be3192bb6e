// matmul-bench-info: what the benchmark beside it was built with and which
// OpenBLAS it runs, as one JSON object, for reports that name their source.
#include <cstdio>

#include "build_info.hpp"

int main() {
  const auto facts = build_facts();
  std::printf("{");
  for (std::size_t i = 0; i < facts.size(); ++i) {
    std::printf("%s\n  %s: %s", i == 0 ? "" : ",", json_string(facts[i].first).c_str(),
                json_string(facts[i].second).c_str());
  }
  std::printf("\n}\n");
  return std::fflush(stdout) == 0 ? 0 : 1;
}
