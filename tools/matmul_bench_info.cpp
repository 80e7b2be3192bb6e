// matmul-bench-info: what the benchmark beside it was built with and which
// OpenBLAS it runs, and the problem it solves, as one JSON object, for
// reports that name their source. --json says so; it is also the default.
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "build_info.hpp"

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && std::strcmp(argv[1], "--json") != 0)) {
    std::fprintf(stderr, "usage: matmul-bench-info [--json]\n");
    return 2;
  }
  nlohmann::ordered_json facts = nlohmann::ordered_json::object();
  for (const auto& [name, value] : build_facts()) {
    facts[name] = value;
  }
  std::printf("%s\n", facts.dump(2).c_str());
  return std::fflush(stdout) == 0 ? 0 : 1;
}
