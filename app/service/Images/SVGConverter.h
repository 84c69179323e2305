// SVGConverter: the second SVG converter, which turns SVG bytes into PDF and EPS bytes on its
// own serial queue and delivers each result on the main queue. The image store builds one and
// gives it no work; it is kept so a caller that wants both forms at once can use it. It draws
// with the same renderer as PDFConverter (no window, no web engine), one page of the document's
// size.
#pragma once

#include "app/service/AsyncOperation.h"
#include "app/service/Images/SVGDocument.h"

#include "platform/foundation/Operation.h"

#include <functional>
#include <memory>
#include <optional>

namespace Vexelworks {

// What a conversion produced: both none when the bytes are not a readable SVG.
struct SVGConverterResult {
  std::optional<Bytes> pdfData;
  std::optional<Bytes> epsData;
};

class ConvertOperation : public AsyncOperation {
 public:
  using CompletionBlock = std::function<void(const SVGConverterResult&)>;

  explicit ConvertOperation(Bytes svgData) : svgData_(std::move(svgData)) {}

  const Bytes& svgData() const { return svgData_; }
  // Called on the main queue with the result; the operation finishes right after it returns.
  void setConvertCompletionBlock(CompletionBlock block) { completion_ = std::move(block); }

  void start() override;

 private:
  Bytes svgData_;
  CompletionBlock completion_;
};

class SVGConverter {
 public:
  SVGConverter();

  // One conversion at a time.
  vx::OperationQueue& queue() { return queue_; }

  // Queues a ConvertOperation for the bytes; the completion runs on the main queue.
  std::shared_ptr<ConvertOperation> convert(Bytes svgData, ConvertOperation::CompletionBlock completion);

 private:
  vx::OperationQueue queue_;
};

}  // namespace Vexelworks
