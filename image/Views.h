// The hex views as the core sees them. The window implements ViewSink over its four panes
// and the "ID bytes:" field; tests record the calls.
#pragma once

namespace quillet {

// View numbers: 0 "ID bytes:" field, 1/2 program views of Page1/Page2, 3/4 data views.
// Image numbers: 1 ProgramImage, 2 DataImage.
class ViewSink {
 public:
  virtual ~ViewSink() = default;
  virtual int ActivePageIndex() = 0;
  virtual void BlankView(int view) = 0;
  virtual void ImageToView(int view, int image) = 0;
  virtual void ViewToImage(int view, int image) = 0;
};

void SetViewSink(ViewSink* sink);  // nullptr: no views (every call does nothing)
ViewSink* GetViewSink();

// The active page's view for an image: 1/2 for image 1, 3/4 for image 2; 0 when the page
// index is neither 0 nor 1.
int ActiveView(int image);
void BlankView(int view);
void ImageToView(int view, int image);
void ViewToImage(int view, int image);

}  // namespace quillet
