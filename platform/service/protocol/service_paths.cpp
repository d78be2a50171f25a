#include "service_paths.h"

#include <sys/stat.h>

#include <cstdlib>

namespace service {
namespace {
bool IsSocket(const std::string &path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}
}  // namespace

std::string UserSocketPath() {
  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == 0) return {};
  return std::string(runtime) + "/tavrin/kernel.sock";
}

std::string ExistingDefaultSocket() {
  if (std::string user = UserSocketPath(); IsSocket(user)) return user;
  if (IsSocket(kSystemSocketPath)) return kSystemSocketPath;
  return {};
}

}  // namespace service
