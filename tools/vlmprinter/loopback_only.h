// Whether this process's network namespace is one that a broadcast cannot
// leave: loopback interfaces only. vlmprinter checks it before it answers
// on UDP; the tests and benchmarks that broadcast check it before they
// send anything.
#pragma once

#include <string>
#include <vector>

namespace vlm::printer {

// The names of the interfaces that are not loopback. Throws
// std::system_error when the interfaces cannot be listed.
std::vector<std::string> NonLoopbackInterfaces();

}  // namespace vlm::printer
