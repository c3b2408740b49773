// How many CPUs this process may use: a worker of Dask or Spark in a
// container is often allowed far fewer than the machine has, and threads
// beyond its share only wait for one another.
#pragma once

#include <optional>
#include <string>

namespace vesk::columns {

// At least 1: the CPUs of the process's affinity mask (all the machine's
// where there is no such mask), and no more than its cgroup's CPU quota
// grants. The quota is read once per process, the mask on every call.
unsigned available_cpus() noexcept;

// The CPU quota of the process's cgroup, in whole CPUs (rounded up; at least
// 1): the least that the cgroup or one of its ancestors grants (cgroup v2:
// cpu.max; v1: cpu.cfs_quota_us over cpu.cfs_period_us). nullopt when no
// quota applies, or on a system without cgroups. The files are read under
// `root`: "" on a live system, a folder laid out like / in a test.
std::optional<unsigned> cgroup_cpu_limit(const std::string& root);

}  // namespace vesk::columns
