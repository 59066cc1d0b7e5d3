// The file list's tick marks kept whole in the nodes: a folder's tick is
// what its children hold, so that what the views show is what a save of the
// ticked files takes.
#pragma once

#include <cstdint>
#include <optional>

#include "fs/node_view.h"

namespace orvaldi::ops {

// Writes `tick` (0 or 1) into `node` and into every node below it.
void SetTickBelow(const fs::NodeRef& node, uint8_t tick);

// 1 when every child of `folder` is ticked, 0 when none is, 2 otherwise;
// nothing for a node without children, which keeps its own tick.
std::optional<uint8_t> TickOfChildren(const fs::NodeRef& folder);

// Sets every folder at or below `node` that has children to TickOfChildren,
// the deepest first, after ticks below it were changed in place.
void RecomputeTicks(const fs::NodeRef& node);

}  // namespace orvaldi::ops
