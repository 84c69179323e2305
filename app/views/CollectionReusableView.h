// Bases of every cell and supplementary view of the grid view. The grid keeps views it no
// longer shows in a pool per reuse identifier and hands them out again through dequeue.
#pragma once

#include "app/views/CollectionViewTypes.h"

#include <QWidget>

#include <string>

namespace Vexelworks {

class CollectionReusableView : public QWidget {
 public:
  explicit CollectionReusableView(QWidget* parent = nullptr);

  const std::string& reuseIdentifier() const { return reuseIdentifier_; }
  // The layout attributes last applied.
  const CollectionViewLayoutAttributes& layoutAttributes() const { return attributes_; }

  // New layout attributes (the grid has already moved the view to the frame).
  virtual void apply(const CollectionViewLayoutAttributes& attributes, bool animated);
  // The view is about to be shown for a new element.
  virtual void viewWillDisplay() {}
  // The view comes out of the reuse pool for another element.
  virtual void prepareForReuse() {}

 private:
  friend class CollectionView;
  std::string reuseIdentifier_;
  std::string poolKey_;
  CollectionViewLayoutAttributes attributes_;
};

class CollectionViewCell : public CollectionReusableView {
 public:
  explicit CollectionViewCell(QWidget* parent = nullptr);

  bool selected() const { return selected_; }
  void setSelected(bool selected) { setSelected(selected, false); }
  // Override point: the base stores the flag.
  virtual void setSelected(bool selected, bool animated);

 private:
  bool selected_ = false;
};

}  // namespace Vexelworks
