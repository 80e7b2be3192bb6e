// The memory limit that a container puts on this process: the cgroup
// memory controller's (v1 or v2), which the kernel enforces by killing the
// process, not by failing its allocations.
#pragma once

#include <cstdint>
#include <string>

// Reads the files under `root` ("/" for the live system; a folder laid out
// the same way for tests): proc/self/cgroup, proc/self/mountinfo, then, for
// the process's cgroup in each memory hierarchy and every ancestor up to
// the hierarchy's mount, its limit and usage (v2 memory.max and
// memory.current, v1 memory.limit_in_bytes and memory.usage_in_bytes). The
// usage counts without the inactive file cache (memory.stat), which the
// kernel reclaims before it kills. Of all these, the limit that leaves the
// least room is returned with its usage. Returns false where no limit is
// set ("max", or v1's near-2^63 value) or nothing can be read; the outputs
// are then unchanged.
bool cgroup_memory_limit(const std::string& root, std::int64_t* limit_bytes,
                         std::int64_t* in_use_bytes);
