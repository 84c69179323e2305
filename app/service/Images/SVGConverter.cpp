#include "app/service/Images/SVGConverter.h"

#include "platform/foundation/DispatchQueue.h"

namespace Vexelworks {

void ConvertOperation::start() {
  if (isCancelled()) {
    finishCancelled();
    return;
  }
  setExecuting(true);
  SVGConverterResult result;
  if (const auto document = SVGDocument::make(svgData_)) {
    result.pdfData = document->pdfData();
    result.epsData = document->epsData();
  }
  // The operation stays alive until the main queue has delivered the result and finished it.
  auto self = std::static_pointer_cast<ConvertOperation>(shared_from_this());
  vx::DispatchQueue::main()->async([self, result = std::move(result)] {
    if (self->completion_) self->completion_(result);
    self->setExecuting(false);
    self->setFinished(true);
  });
}

SVGConverter::SVGConverter() : queue_("SVGConverter") { queue_.setMaxConcurrentOperationCount(1); }

std::shared_ptr<ConvertOperation> SVGConverter::convert(Bytes svgData, ConvertOperation::CompletionBlock completion) {
  auto operation = std::make_shared<ConvertOperation>(std::move(svgData));
  operation->setConvertCompletionBlock(std::move(completion));
  queue_.addOperation(operation);
  return operation;
}

}  // namespace Vexelworks
