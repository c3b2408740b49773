#include "columns/cpus.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

// The affinity mask and the cgroup files are Linux's; elsewhere the count is
// the machine's.
#if defined(__linux__) && __has_include(<sched.h>)
#include <sched.h>

#include <cerrno>
#define VESK_LINUX_CPUS 1
#else
#define VESK_LINUX_CPUS 0
#endif

namespace vesk::columns {
namespace {

#if VESK_LINUX_CPUS

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

bool contains(std::string_view list, std::string_view item) {
  for (std::string_view part : split(list, ','))
    if (part == item) return true;
  return false;
}

// A path of mountinfo, whose spaces, tabs, newlines and backslashes are
// written as octal escapes.
std::string unescaped(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string_view digits = field.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out.push_back(
            static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

std::optional<std::int64_t> number_in(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  bool negative = false;
  if (text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

std::string read_all(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// ceil(quota / period) when both make sense.
std::optional<unsigned> whole_cpus(std::optional<std::int64_t> quota,
                                   std::optional<std::int64_t> period) {
  if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
  const std::int64_t cpus = (*quota + *period - 1) / *period;
  return static_cast<unsigned>(std::clamp<std::int64_t>(cpus, 1, 1 << 20));
}

// One level's quota: cgroup v2's "max 100000" or "150000 100000", or v1's
// two files.
std::optional<unsigned> level_limit(const std::string& dir, bool v2) {
  if (v2) {
    const std::string text = read_all(dir + "/cpu.max");
    const std::vector<std::string_view> fields = split(text, ' ');
    if (fields.size() != 2) return std::nullopt;
    return whole_cpus(number_in(fields[0]), number_in(fields[1]));
  }
  return whole_cpus(number_in(read_all(dir + "/cpu.cfs_quota_us")),
                    number_in(read_all(dir + "/cpu.cfs_period_us")));
}

struct Mount {
  std::string root;   // the part of the hierarchy mounted
  std::string point;  // where
};

// The mount of the cgroup v2 hierarchy, or of the v1 hierarchy that holds
// the cpu controller.
std::optional<Mount> cgroup_mount(const std::string& root, bool v2) {
  for (const std::string& line : lines_of(root + "/proc/self/mountinfo")) {
    const std::vector<std::string_view> fields = split(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
    const std::string_view type = dash[1];
    const bool wanted = v2 ? type == "cgroup2" : type == "cgroup" && contains(dash[3], "cpu");
    if (wanted) return Mount{unescaped(fields[3]), unescaped(fields[4])};
  }
  return std::nullopt;
}

std::optional<unsigned> hierarchy_limit(const std::string& root, bool v2) {
  std::optional<std::string> path;
  for (const std::string& line : lines_of(root + "/proc/self/cgroup")) {
    const std::vector<std::string_view> fields = split(line, ':');
    if (fields.size() < 3) continue;
    const bool wanted = v2 ? fields[0] == "0" && fields[1].empty() : contains(fields[1], "cpu");
    if (wanted) {
      // (the path itself may hold colons)
      path = std::string(line.substr(fields[0].size() + fields[1].size() + 2));
      break;
    }
  }
  const std::optional<Mount> mount = cgroup_mount(root, v2);
  if (!path || !mount) return std::nullopt;
  // The group's path below the mount: without a cgroup namespace, a
  // container's mount is its own group, which /proc/self/cgroup names in
  // full.
  std::string below = *path;
  if (mount->root != "/" && below.starts_with(mount->root))
    below = below.substr(mount->root.size());
  const std::string top = root + mount->point;
  std::string dir = top + (below == "/" ? "" : below);
  std::optional<unsigned> limit;
  for (;;) {
    if (const std::optional<unsigned> level = level_limit(dir, v2))
      limit = limit ? std::min(*limit, *level) : *level;
    if (dir.size() <= top.size()) break;
    const std::size_t slash = dir.rfind('/');
    if (slash == std::string::npos || slash < top.size()) break;
    dir.resize(slash);
  }
  return limit;
}

unsigned affinity_cpus() noexcept {
  // A mask sized for machines of more than CPU_SETSIZE CPUs as well.
  for (int cpus = 1024; cpus <= (1 << 16); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    const int found = sched_getaffinity(0, size, set);
    const int error = errno;
    const int count = found == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (count > 0) return static_cast<unsigned>(count);
    if (found == 0 || error != EINVAL) break;
  }
  return std::thread::hardware_concurrency();
}

#endif  // VESK_LINUX_CPUS

}  // namespace

std::optional<unsigned> cgroup_cpu_limit(const std::string& root) {
#if VESK_LINUX_CPUS
  try {
    if (const std::optional<unsigned> v2 = hierarchy_limit(root, true)) return v2;
    return hierarchy_limit(root, false);
  } catch (const std::exception&) {
    return std::nullopt;  // (no memory for a path: no limit known)
  }
#else
  static_cast<void>(root);
  return std::nullopt;
#endif
}

unsigned available_cpus() noexcept {
#if VESK_LINUX_CPUS
  static const std::optional<unsigned> quota = cgroup_cpu_limit("");
  unsigned cpus = affinity_cpus();
  if (quota) cpus = cpus == 0 ? *quota : std::min(cpus, *quota);
#else
  unsigned cpus = std::thread::hardware_concurrency();
#endif
  return cpus > 0 ? cpus : 1;
}

}  // namespace vesk::columns
