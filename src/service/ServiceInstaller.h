#pragma once

#include <iostream>

// `VeltrixService --install` and `--uninstall`: register the service with the service manager
// and remove it. Their console lines are the only report; true means exit code 0.
namespace veltrix::service {

bool installService(std::ostream& out = std::cout, std::ostream& err = std::cerr);
bool uninstallService(std::ostream& out = std::cout, std::ostream& err = std::cerr);

}  // namespace veltrix::service
