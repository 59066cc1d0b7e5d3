#include "app/icons/icons.h"

#include <QtGlobal>

// Outside any namespace, as the resource initialiser's name must be.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace orvaldi::app {

void InitIcons() {
  static const bool done = (InitIconResources(), true);
  (void)done;
}

}  // namespace orvaldi::app
