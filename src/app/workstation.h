// Puts the workstation together: the device window in the frame's first tab,
// the partition windows it opens as documents, and the frame's commands
// connected to the windows that carry them out.
#pragma once

namespace orvaldi::app {

class DeviceWindow;
class MainFrame;

// Connects `frame`'s commands to `device` (which the frame must already
// hold in tab 0) and to the active partition window. Commands whose windows
// are not built yet (free space, the partition-table tools, saving,
// statistics, ticking and the filter) are disabled rather than left silent.
void ConnectWorkstation(MainFrame& frame, DeviceWindow& device);

}  // namespace orvaldi::app
