// matmul-bench-info: what the benchmark beside it was built with and which
// OpenBLAS it runs, and the problem it solves, as one JSON object, for
// reports that name their source. --json says so; it is also the default.
#include <cstdio>
#include <cstring>

#include "build_info.hpp"

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && std::strcmp(argv[1], "--json") != 0)) {
    std::fprintf(stderr, "usage: matmul-bench-info [--json]\n");
    return 2;
  }
  const auto facts = build_facts();
  std::printf("{");
  for (std::size_t i = 0; i < facts.size(); ++i) {
    std::printf("%s\n  %s: %s", i == 0 ? "" : ",", json_string(facts[i].first).c_str(),
                json_string(facts[i].second).c_str());
  }
  std::printf("\n}\n");
  return std::fflush(stdout) == 0 ? 0 : 1;
}
