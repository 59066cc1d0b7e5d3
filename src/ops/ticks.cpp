// Tick marks written through a subtree and folded back up into folders.
#include "ops/ticks.h"

#include <utility>
#include <vector>

namespace orvaldi::ops {

void SetTickBelow(const fs::NodeRef& node, uint8_t tick) {
  // An explicit stack: a scan tree can be deeper than the thread's stack.
  std::vector<fs::NodeRef> stack{node};
  while (!stack.empty()) {
    const fs::NodeRef n = stack.back();
    stack.pop_back();
    if (!n) continue;
    n.setTick(tick);
    n.forEachChild([&](const fs::NodeRef& child) { stack.push_back(child); });
  }
}

std::optional<uint8_t> TickOfChildren(const fs::NodeRef& folder) {
  bool any = false, allTicked = true, noneTicked = true;
  folder.forEachChild([&](const fs::NodeRef& child) {
    any = true;
    const uint8_t tick = child.tick();
    if (tick != 1) allTicked = false;
    if (tick != 0) noneTicked = false;
  });
  if (!any) return std::nullopt;
  return allTicked ? uint8_t{1} : noneTicked ? uint8_t{0} : uint8_t{2};
}

void RecomputeTicks(const fs::NodeRef& node) {
  // Post-order without recursion: a node is folded once all of its children
  // were, which the second visit (its flag set) guarantees.
  std::vector<std::pair<fs::NodeRef, bool>> stack{{node, false}};
  while (!stack.empty()) {
    auto [n, childrenDone] = stack.back();
    stack.pop_back();
    if (!n || !n.hasChildren()) continue;
    if (childrenDone) {
      if (const auto tick = TickOfChildren(n)) n.setTick(*tick);
      continue;
    }
    stack.emplace_back(n, true);
    n.forEachChild([&](const fs::NodeRef& child) {
      if (child.hasChildren()) stack.emplace_back(child, false);
    });
  }
}

}  // namespace orvaldi::ops
