// Makes the compiled-in pictures (toolbar, icons, splash) available; the
// windows call it before they load one, since a static library's resources
// are only linked in when something names them.
#pragma once

namespace orvaldi::app {

void InitIcons();

}  // namespace orvaldi::app
