// AsyncOperation: the base of every operation whose work outlives start() (a network request,
// a conversion). A subclass overrides start(): it checks isCancelled() and does no work when
// set, marks itself executing, starts the work and returns; when the work completes it delivers
// the result and then calls setExecuting(false) and setFinished(true), in that order. The
// queue frees the operation's slot, and its completion block runs once, when it finishes.
//
// The flags are atomic and may be set from any thread (a URL session's callback queue, the
// main queue); finishing twice, from one thread or two, has no further effect.
#pragma once

#include "platform/foundation/Operation.h"

namespace Vexelworks {

class AsyncOperation : public vx::Operation {
 public:
  AsyncOperation() = default;

  bool isAsynchronous() const override { return true; }
  // Older name of the same property.
  bool isConcurrent() const { return true; }

 protected:
  // Whether the operation's asynchronous work is under way.
  void setExecuting(bool executing) { vx::Operation::setExecuting(executing); }
  // true moves the operation to finished for good: executing is cleared, the queue is told and
  // the completion block runs once. false does nothing: a finished operation stays finished.
  void setFinished(bool finished) {
    if (finished) finish();
  }
  // For a subclass whose start() found the operation cancelled: finishes it without work.
  void finishCancelled() { finish(); }
};

}  // namespace Vexelworks
