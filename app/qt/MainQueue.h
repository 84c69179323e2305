// Serves the foundation's main queue from the Qt event loop. Any thread may post to the main
// queue; the wake handler only posts one coalesced event to the GUI thread, so posting never
// blocks and never waits for the loop.
#pragma once

#include <memory>

namespace vx {

class QtMainQueue {
 public:
  // Declares the calling (GUI) thread the main thread and starts draining the main queue from
  // the running QCoreApplication's event loop. Blocks already waiting are drained on the next
  // turn of the loop. Call on the GUI thread after the application object exists.
  QtMainQueue();
  // Stops serving: removes the wake handler. Blocks posted afterwards wait until someone drains.
  ~QtMainQueue();
  QtMainQueue(const QtMainQueue&) = delete;
  QtMainQueue& operator=(const QtMainQueue&) = delete;

  // Number of drain events the loop has handled (tests use it to see coalescing).
  std::size_t drainCount() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vx
