#include "cgroup.hpp"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {
// At or above this a v1 limit means "none" (the kernel shows 2^63 - 4096).
constexpr std::int64_t kNoLimit = std::int64_t{1} << 62;

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) {
    parts.push_back(part);
  }
  return parts;
}

bool has_item(const std::string& list, const std::string& item) {
  for (const std::string& x : split(list, ',')) {
    if (x == item) {
      return true;
    }
  }
  return false;
}

// mountinfo writes blanks and backslashes in paths as \ooo octal escapes.
std::string unescaped(const std::string& path) {
  std::string out;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '\\' && i + 3 < path.size()) {
      const std::string octal = path.substr(i + 1, 3);
      char* end = nullptr;
      const long c = std::strtol(octal.c_str(), &end, 8);
      if (end == octal.c_str() + 3) {
        out += static_cast<char>(c);
        i += 3;
        continue;
      }
    }
    out += path[i];
  }
  return out;
}

// A whole non-negative decimal number, or -1 ("max", garbage, missing file).
std::int64_t read_number(const std::string& file) {
  std::ifstream in(file);
  std::string text;
  if (!(in >> text) || text.empty() || text.size() > 19) {
    return -1;
  }
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return -1;
    }
    value = value * 10 + (c - '0');
  }
  return value;
}

// The value of `key` in a memory.stat file, or 0.
std::int64_t read_stat(const std::string& file, const std::string& key) {
  std::ifstream in(file);
  std::string name;
  std::int64_t value = 0;
  while (in >> name >> value) {
    if (name == key) {
      return value;
    }
  }
  return 0;
}

// Walks from the process's cgroup up to the mount, keeping the tightest.
// `cgroup_path` is the process's cgroup in a hierarchy (v2's or v1's
// memory controller) of which `mount_root` is mounted at `mount_point`.
void tightest_in(const std::string& root, bool v2, const std::string& cgroup_path,
                 const std::string& mount_root, const std::string& mount_point, bool* found,
                 std::int64_t* best_room, std::int64_t* limit_bytes, std::int64_t* in_use_bytes) {
  std::string relative = cgroup_path;
  if (mount_root != "/") {
    if (relative.compare(0, mount_root.size(), mount_root) != 0 ||
        (relative.size() > mount_root.size() && relative[mount_root.size()] != '/')) {
      return;  // the process's cgroup lies outside what is mounted
    }
    relative = relative.substr(mount_root.size());
  }
  const std::string top = root + mount_point;
  std::string dir = top + relative;
  while (!dir.empty() && dir.back() == '/') {
    dir.pop_back();
  }
  for (;;) {
    const std::int64_t limit = read_number(dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes"));
    const std::int64_t usage =
        read_number(dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes"));
    if (limit >= 0 && limit < kNoLimit && usage >= 0) {
      const std::int64_t reclaimable =
          read_stat(dir + "/memory.stat", v2 ? "inactive_file" : "total_inactive_file");
      const std::int64_t in_use = usage > reclaimable ? usage - reclaimable : 0;
      const std::int64_t room = limit - in_use;
      if (!*found || room < *best_room) {
        *found = true;
        *best_room = room;
        *limit_bytes = limit;
        *in_use_bytes = in_use;
      }
    }
    if (dir.size() <= top.size()) {
      break;
    }
    dir.erase(dir.rfind('/'));
  }
}
}  // namespace

bool cgroup_memory_limit(const std::string& root, std::int64_t* limit_bytes,
                         std::int64_t* in_use_bytes) {
  const std::string base = root.size() > 1 && root.back() == '/' ? root.substr(0, root.size() - 1)
                           : root == "/"                         ? ""
                                                                 : root;
  // proc/self/cgroup: "ID:controllers:path"; v2's line is "0::path".
  std::string v1_path;
  std::string v2_path;
  bool have_v1 = false;
  bool have_v2 = false;
  {
    std::ifstream in(base + "/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
      const std::size_t first = line.find(':');
      const std::size_t second = line.find(':', first + 1);
      if (first == std::string::npos || second == std::string::npos) {
        continue;
      }
      const std::string controllers = line.substr(first + 1, second - first - 1);
      const std::string path = line.substr(second + 1);
      if (line.compare(0, first, "0") == 0 && controllers.empty()) {
        have_v2 = true;
        v2_path = path;
      } else if (has_item(controllers, "memory")) {
        have_v1 = true;
        v1_path = path;
      }
    }
  }
  if (!have_v1 && !have_v2) {
    return false;
  }
  // proc/self/mountinfo: "id parent dev root mount-point options ... - type source super-options".
  bool found = false;
  std::int64_t best_room = 0;
  std::ifstream in(base + "/proc/self/mountinfo");
  std::string line;
  bool v1_seen = false;
  bool v2_seen = false;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = split(line, ' ');
    std::size_t dash = 5;
    while (dash < f.size() && f[dash] != "-") {
      ++dash;
    }
    if (dash + 1 >= f.size()) {
      continue;
    }
    const std::string& type = f[dash + 1];
    const std::string super_options = dash + 3 < f.size() ? f[dash + 3] : "";
    const bool v2 = type == "cgroup2" && have_v2 && !v2_seen;
    const bool v1 = type == "cgroup" && have_v1 && !v1_seen && has_item(super_options, "memory");
    if (v1 || v2) {
      v1_seen = v1_seen || v1;
      v2_seen = v2_seen || v2;
      tightest_in(base, v2, v2 ? v2_path : v1_path, unescaped(f[3]), unescaped(f[4]), &found,
                  &best_room, limit_bytes, in_use_bytes);
    }
  }
  return found;
}
