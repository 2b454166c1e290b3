#include "platform/CloseOnExec.h"

#include <fcntl.h>

namespace veltrix::platform {

void keepFromChildPrograms(std::FILE* file) {
    if (!file) return;
    const int fd = fileno(file);
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace veltrix::platform
