// The operation starter the windows are given: real threads, the standard
// progress windows, refusals through the prompter.
#pragma once

#include <functional>

#include "app/operation.h"
#include "ops/operation_runner.h"

namespace orvaldi::app {

// Returns a starter that refuses (through the prompter, over the owner)
// while the family's thread slot is taken; otherwise shows the operation's
// view (its own, or the owner's standard progress window for that family,
// created on first use and reused), raises the busy flag, runs `work` on a
// worker thread with the engine's messages delivered to the view on the UI
// thread, and once the work returned runs `publish` on the UI thread, closes
// the view and lowers the busy flag, in that order. The UI thread never
// waits for the operation. If the owner was destroyed meanwhile, nothing is
// published. A view the request brings along must outlive its operation.
//
// Every copy shares one set of threads. When the last copy goes (on the UI
// thread, while the application object lives), running operations are told
// to stop and their threads are waited for; so drop it before the records
// that the operations read.
OperationStarter MakeOperationStarter(ops::ThreadSlots& table = ops::ProcessThreadSlots());

// For an operation's worker that must ask the operator something on the way
// (a file name that cannot be created, say): runs `fn` on the UI thread and
// waits for it. On the UI thread itself `fn` runs at once. Returns false,
// without running it, when no starter is alive or the program is ending:
// the worker then goes on as if the operator had declined.
bool CallOnUiThread(const std::function<void()>& fn);

}  // namespace orvaldi::app
