// The commands `velmora` hands over to the programs beside it.
#include "tools/command_registry.h"
#include "tools/command_summaries.h"

namespace {

const tools::HandoverRegistration app({"app", "velmora-app", tools::summaries::kApp});
const tools::HandoverRegistration collector({"collector", "velmora-collector", tools::summaries::kCollector});

}  // namespace
