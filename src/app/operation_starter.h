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
// worker thread whose progress messages are recorded and shown on the UI
// thread at most every 50 ms (neither side waits for the other), and once
// the work returned shows its last progress, runs `publish` on the UI
// thread, closes the view and lowers the busy flag, in that order. Destroying
// the owner stops the operation at once (its cancel flag), and nothing is
// published then. A view the request brings along must outlive its
// operation, unless it hands out its block shared.
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
