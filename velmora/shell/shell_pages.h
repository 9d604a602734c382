// What start-up does so that the pages use the shell's parts: interface files registered, the pages' hooks set.
#pragma once

#include <memory>

namespace velmora {

class RemoteConfigManager;

// Registers the interface files of the manual page and the video row and
// sets the pages' hooks: toasts, the loading overlay and segment images
// through the view manager, the manual page, new calculator trees from the
// page factory, and from the manager (the shared one, looked up when asked,
// when none is given) the video tutorial addresses of a calculator's code
// and the running application's entry for its rating page. Main thread, once
// at start-up.
void installShellPages(std::shared_ptr<RemoteConfigManager> manager = nullptr);

}  // namespace velmora
