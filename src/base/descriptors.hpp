#pragma once
// The process's limit on open descriptors, and how many client connections fit under it.
//
// Every client connection holds a descriptor, and so does everything the server keeps for itself:
// database and Redis connections, the PDF workers' pipes, each event loop's own, every wait on a
// helper thread. A server that lets clients take the last descriptors fails its own work instead
// (a plan with no descriptor for its wait); so the connections are capped below the limit, with
// room kept for the rest.
#include <cstddef>
#include <cstdint>

namespace vekt::base {

struct DescriptorLimit {
  std::uint64_t before = 0;  // the soft limit the process was started with
  std::uint64_t limit = 0;   // the soft limit now
};

// Raises the soft limit on open descriptors to the hard limit (an unlimited hard limit: to the
// most the kernel allows a process). A limit that cannot be raised stays as it was.
DescriptorLimit raise_descriptor_limit();

// Client connections that fit under `limit` descriptors beside `reserved` of the server's own, at
// most `most`; 0 when the reserve takes them all.
std::size_t connections_within(std::uint64_t limit, std::size_t reserved, std::size_t most);

}  // namespace vekt::base
