#include "app/views/LoadingViewController.h"

namespace Vexelworks {

LoadingViewController::LoadingViewController() : vx::ViewController(nibName) {}

void LoadingViewController::viewDidLoad() {
  vx::ViewController::viewDidLoad();
  if (progressView == nullptr) return;
  progressView->setHidesWhenStopped(true);
  progressView->startAnimating(true);
}

}  // namespace Vexelworks
