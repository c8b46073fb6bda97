#include "sim/services.h"

#include "platform/platform.h"
#include "sim/core/text.h"

namespace sim {

Services::Services(Module& module)
    : files(module.host_paths(), module.description().root, module.description().shares, module.clock()),
      registry(module.description().registry),
      processes(module, files),
      notifications(module, files),
      events(module, files, notifications, keyboard) {
  const Description& d = module.description();
  for (std::size_t i = 0; i < d.volumes_at_start.size(); ++i) {
    const VolumeDescription& v = d.volumes_at_start[i];
    std::string problem = files.Mount(ToUtf16(v.name), v.dir);
    if (!problem.empty()) FieldError("volumes[" + std::to_string(i) + "]", problem);
  }
  if (d.shift_held) keyboard.Press(OS_VK_SHIFT);
}

}  // namespace sim
