// The full-area loading view the search window shows while a first page loads: a spinning
// progress ring. Its view comes from the interface "LoadingViewController" (CellInterfaces.h).
#pragma once

#include "app/qt/ViewController.h"
#include "app/views/CBProgressView.h"

#include <QPointer>

namespace Vexelworks {

class LoadingViewController : public vx::ViewController {
 public:
  static inline const std::string nibName = "LoadingViewController";

  LoadingViewController();

  // Outlet, set by the interface builder.
  QPointer<CBProgressView> progressView;

 protected:
  void viewDidLoad() override;
};

}  // namespace Vexelworks
