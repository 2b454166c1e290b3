#pragma once

#include <cstdio>

// Files a process keeps to itself: no program it starts inherits them (Windows: a handle that is
// not inheritable).
namespace veltrix::platform {

// Marks the open file close-on-exec. For files opened by a library that offers no such flag; the
// agent launch closes every descriptor in any case.
void keepFromChildPrograms(std::FILE* file);

}  // namespace veltrix::platform
